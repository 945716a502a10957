#!/usr/bin/env python3
"""Puts the benchmark tables of two architectures side by side.

usage: side_by_side.py ARCH1 TABLE1 ARCH2 TABLE2
Each table file is the output of VarnelBench: "### section" headings, a description line and a
markdown table "| figure | size | library ms ... | baseline ms ... | ratio |" per section. The
result has one table per section with the library median, the baseline median and the ratio of
each architecture beside each other.
"""
import sys


def parse(path):
    sections, order, current = {}, [], None
    with open(path, encoding="utf-8") as source:
        for raw in source:
            line = raw.rstrip("\n")
            if line.startswith("### "):
                current = line[4:]
                order.append(current)
                sections[current] = {"text": [], "rows": {}, "keys": [], "header": []}
            elif current is None:
                continue
            elif line.startswith("| figure"):
                sections[current]["header"] = [cell.strip() for cell in line.strip("|").split("|")]
            elif line.startswith("| ") and not line.startswith("| figure") and not line.startswith("|---"):
                cells = [cell.strip() for cell in line.strip("|").split("|")]
                key = (cells[0], cells[1])
                sections[current]["rows"][key] = cells
                sections[current]["keys"].append(key)
            elif line and not line.startswith("|"):
                sections[current]["text"].append(line)
    return order, sections


def median(cell):
    return cell.split(" ")[0]


def print_own_shape(header, first_arch, first, second_arch, second):
    """A table of another shape: each architecture's rows under the table's own header."""
    print("| arch | " + " | ".join(header) + " |")
    print("|---" * (len(header) + 1) + "|")
    for arch, section in ((first_arch, first), (second_arch, second)):
        for key in (section or {"keys": []})["keys"]:
            print(f"| {arch} | " + " | ".join(section["rows"][key]) + " |")
    print()


def main():
    if len(sys.argv) != 5:
        sys.exit(__doc__)
    first_arch, first_path, second_arch, second_path = sys.argv[1:]
    order, first = parse(first_path)
    _, second = parse(second_path)
    for name in order:
        print(f"### {name}\n")
        for text in first[name]["text"]:
            print(text)
        print()
        header = first[name]["header"]
        if len(header) < 5 or not header[2].startswith("library ms"):
            print_own_shape(header, first_arch, first[name], second_arch, second.get(name))
            continue
        print(f"| figure | size | {first_arch} library ms | {first_arch} baseline ms | {first_arch} ratio "
              f"| {second_arch} library ms | {second_arch} baseline ms | {second_arch} ratio |")
        print("|---|---|---|---|---|---|---|---|")
        for key in first[name]["keys"]:
            a = first[name]["rows"][key]
            b = second.get(name, {"rows": {}})["rows"].get(key)
            right = [median(b[2]), median(b[3]), b[4]] if b else ["-", "-", "-"]
            print(f"| {a[0]} | {a[1]} | {median(a[2])} | {median(a[3])} | {a[4]} | " + " | ".join(right) + " |")
        print()


if __name__ == "__main__":
    main()
