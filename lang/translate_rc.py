#!/usr/bin/env python3
"""Makes the resource script of another language from the English one.

    translate_rc.py ENGLISH.rc TABLE.txt OUTPUT.rc "LANGUAGE LANG_x, SUBLANG_y"

Every text of the English script (string table, menu, dialog captions and control texts) is
replaced by its translation from TABLE.txt; everything else (identifiers, styles, positions,
sizes, fonts, window classes, preprocessor lines, comments) is kept as it stands, so a change to
the English layout reaches every language with the next build. A text without a translation
stops the build and is named; a translation whose English text is gone is reported.

TABLE.txt (UTF-8) holds pairs of lines: the English text as the script writes it between its
quotes, then the translation, written the same way after the language's two-letter name (rc escapes: "" for a quote, \\t for a tab):

    en: About Varnel Security...
    de: &Info über Varnel Security...

Blank lines and lines starting with # are ignored.
"""
import sys


def read_table(path):
    table, english, problems = {}, None, []
    with open(path, encoding="utf-8") as source:
        for number, raw in enumerate(source, 1):
            line = raw.rstrip("\n")
            if not line.strip() or line.lstrip().startswith("#"):
                continue
            if line.startswith("en: ") and english is None:
                english = line[4:]
            elif line[2:4] == ": " and not line.startswith("en: "):
                if english is None:
                    problems.append(f"{path}:{number}: a translation without its English line")
                    continue
                if english in table and table[english] != line[4:]:
                    problems.append(f"{path}:{number}: two translations of \"{english}\"")
                table[english] = line[4:]
                english = None
            else:
                problems.append(f"{path}:{number}: expected \"en: \" then \"de: \", found: {line}")
    if english is not None:
        problems.append(f"{path}: \"{english}\" has no translation line")
    return table, problems


def literals(line):
    """(start, end) of each quoted text of a resource script line; "" inside is a quote."""
    spans, i = [], 0
    while i < len(line):
        if line.startswith("//", i):
            break
        if line[i] != '"':
            i += 1
            continue
        start, i = i, i + 1
        while i < len(line):
            if line[i] == '"':
                if i + 1 < len(line) and line[i + 1] == '"':
                    i += 2
                    continue
                break
            i += 1
        spans.append((start, i + 1))
        i += 1
    return spans


def keeps_its_text(stripped):
    """Lines whose quoted words are not user-interface texts."""
    return stripped.startswith(("#", "//", "FONT", "LANGUAGE")) or not stripped


def translate_line(line, table, missing, used):
    stripped = line.strip()
    if keeps_its_text(stripped):
        return line
    spans = literals(line)
    if stripped.startswith("CONTROL"):
        spans = spans[:1]  # the others name the window class
    out, last = [], 0
    for start, end in spans:
        english = line[start + 1:end - 1]
        out.append(line[last:start + 1])
        if english == "":
            out.append(english)
        elif english in table:
            out.append(table[english])
            used.add(english)
        else:
            missing.append(english)
            out.append(english)
        last = end - 1
    out.append(line[last:])
    return "".join(out)


def main():
    if len(sys.argv) != 5:
        sys.exit(__doc__)
    source_path, table_path, output_path, language = sys.argv[1:]
    table, problems = read_table(table_path)
    if problems:
        sys.exit("\n".join(problems))
    missing, used, lines = [], set(), []
    with open(source_path, encoding="utf-8") as source:
        for line in source.read().splitlines():
            if line.strip().startswith("LANGUAGE "):
                lines.append(language)
            else:
                lines.append(translate_line(line, table, missing, used))
    if missing:
        names = "\n".join(f"    en: {text}" for text in dict.fromkeys(missing))
        sys.exit(f"{table_path}: these texts of {source_path} have no translation yet:\n{names}")
    for text in sorted(set(table) - used):
        print(f"{table_path}: no longer in {source_path}: \"{text}\"", file=sys.stderr)
    header = [
        "#pragma code_page(65001)",
        f"// Made by translate_rc.py from {source_path.split('/')[-1]} and {table_path.split('/')[-1]}: edit those.",
    ]
    text = "\n".join(header + lines) + "\n"
    try:
        with open(output_path, encoding="utf-8") as old:
            if old.read() == text:
                return
    except OSError:
        pass
    with open(output_path, "w", encoding="utf-8") as out:
        out.write(text)


if __name__ == "__main__":
    main()
