#!/usr/bin/env python3
"""Runs VarnelBench sections of two builds in turns and prints the medians side by side.

    compare_builds.py ARCH BEFORE_BIN AFTER_BIN [--rounds N] [--only state,menu]

BEFORE_BIN and AFTER_BIN are the bin folders of two builds of the same architecture (the same
VarnelBench source, different libraries). The runs alternate (before, after, before, ...) so that
the machine's drift falls on both alike; each run's figure is its own median, and the table gives
the median over the rounds and the change in percent, of the library's time and of its ratio to the
fair baseline of the same run (the same Win32 work in both builds, so the ratio takes out what the
machine does between runs).
"""
import os
import re
import statistics
import subprocess
import sys

LOADERS = {"x86_64": "/usr/lib/wine/wine64", "i686": "/usr/lib/wine/wine"}
ROW = re.compile(r"^\| (?P<figure>[^|]+?) \| (?P<size>[^|]+?) \| (?P<median>[0-9.]+) \([^)]*\) \| (?P<fair>[0-9.]+) \(")


def run(arch, folder, section):
    output = subprocess.run([LOADERS[arch], "VarnelBench.exe", "--only", section], cwd=folder,
                            capture_output=True, text=True, errors="replace", timeout=1800).stdout
    rows = {}
    for line in output.replace("\r", "").splitlines():
        match = ROW.match(line)
        if match:
            rows[(match["figure"], match["size"])] = (float(match["median"]), float(match["fair"]))
    return rows


def main():
    args = sys.argv[1:]
    if len(args) < 3:
        sys.exit(__doc__)
    arch, before, after = args[:3]
    rounds = int(args[args.index("--rounds") + 1]) if "--rounds" in args else 6
    sections = args[args.index("--only") + 1].split(",") if "--only" in args else ["state", "menu"]
    for section in sections:
        figures = {"before": {}, "after": {}}
        for _ in range(rounds):
            for name, folder in (("before", before), ("after", after)):
                for key, value in run(arch, folder, section).items():
                    figures[name].setdefault(key, []).append(value)
        print(f"| {arch} | figure | size | before ms | after ms | change | before ratio | after ratio | ratio change |")
        print("|---|---|---|---|---|---|---|---|---|")
        for key in figures["before"]:
            if key not in figures["after"]:
                continue
            old = statistics.median(run[0] for run in figures["before"][key])
            new = statistics.median(run[0] for run in figures["after"][key])
            old_ratio = statistics.median(run[0] / run[1] for run in figures["before"][key])
            new_ratio = statistics.median(run[0] / run[1] for run in figures["after"][key])
            print(f"| {arch} | {key[0]} | {key[1]} | {old:.3f} | {new:.3f} | {100.0 * (new - old) / old:+.1f}% "
                  f"| {old_ratio:.2f} | {new_ratio:.2f} | {100.0 * (new_ratio - old_ratio) / old_ratio:+.1f}% |")
        print()


if __name__ == "__main__":
    main()
