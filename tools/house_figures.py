#!/usr/bin/env python3
"""Counts the figures of the library's structure, read from the sources as they stand.

    python3 tools/house_figures.py [--list] [ROOT]

- Instance() calls: call sites of a static Instance() accessor inside support/, plugins/, menu/,
  dialogs/, control/, foundation/ and include/ (declarations and the accessors' own definitions
  are not calls).
- lock kinds: the types of the lock objects declared in those folders (std::mutex,
  std::recursive_mutex, zerova::Mutex, zerova::RecursiveMutex, CRITICAL_SECTION, CCriticalSectionEx,
  SRWLOCK), outside the lock types' own definitions.
- recursive mutexes: declared objects of a recursive mutex type (std::recursive_mutex,
  zerova::RecursiveMutex, a raw CRITICAL_SECTION, the contract's CCriticalSectionEx, which counts
  as the kind it is built on).
- raw CRITICAL_SECTION members: outside CCriticalSectionEx, the contract's critical section.
- functions over 80 lines: every function body of the library, the support library, the host and the
  tools, from the first line of its signature to its closing brace.
- circles across folders: cycles of the folder graph whose edges are includes (a header of include/
  belongs to the folder that defines its class) and calls (a qualified call X::F( or a member call
  ->F( / .F( of a name that only one folder defines).
--list prints what each figure counted.
"""
import os
import re
import sys
from collections import defaultdict

LAYERS = ["support", "plugins", "menu", "dialogs", "control", "foundation", "include"]
CODE_FOLDERS = LAYERS + ["host", "tools"]
SOURCE_EXT = (".cpp", ".h", ".c")
MAX_FUNCTION_LINES = 80

# Headers of include/ that no one folder implements: the plug-in contract and the export macros.
CONTRACT_HEADERS = {"VarnelPluginContract.h", "VarnelAPI.h", "VarnelPluginAPI.h"}
# Headers of include/ without a source of their name: the folder whose interface or template they hold.
HEADER_OWNERS = {"PluginEvents.h": "plugins", "DialogWindow.h": "dialogs"}
LOCK_TYPES = ["std::recursive_mutex", "std::mutex", "zerova::RecursiveMutex", "zerova::Mutex",
              "CRITICAL_SECTION", "CCriticalSectionEx", "SRWLOCK"]
RECURSIVE_TYPES = {"std::recursive_mutex", "zerova::RecursiveMutex", "CRITICAL_SECTION"}
# Where a lock type is made: its own members are not counted as locks of the house.
LOCK_TYPE_FILES = {os.path.join("support", "Lock.h"), os.path.join("support", "CriticalSectionEx.h")}


def sources(root, folders):
    for folder in folders:
        base = os.path.join(root, folder)
        for dirpath, _, files in os.walk(base):
            for name in sorted(files):
                if name.endswith(SOURCE_EXT):
                    path = os.path.join(dirpath, name)
                    yield os.path.relpath(path, root)


def read(root, path):
    with open(os.path.join(root, path), encoding="utf-8", errors="replace") as f:
        return f.read()


def strip_comments_and_strings(text):
    """Blanks comments, string and character literals, keeping every newline where it was."""
    out = []
    i, n = 0, len(text)
    while i < n:
        c = text[i]
        if text.startswith("//", i):
            j = text.find("\n", i)
            j = n if j < 0 else j
            out.append(" " * (j - i))
            i = j
        elif text.startswith("/*", i):
            j = text.find("*/", i + 2)
            j = n if j < 0 else j + 2
            out.append(re.sub(r"[^\n]", " ", text[i:j]))
            i = j
        elif c == '"' or c == "'":
            # raw strings are not used in this code base
            j = i + 1
            while j < n and text[j] != c:
                j += 2 if text[j] == "\\" else 1
            j = min(j + 1, n)
            out.append(c + re.sub(r"[^\n]", " ", text[i + 1:j - 1]) + c)
            i = j
        else:
            out.append(c)
            i += 1
    return "".join(out)


# ---------------------------------------------------------------- Instance() calls

def instance_calls(root):
    found = []
    for path in sources(root, LAYERS):
        code = strip_comments_and_strings(read(root, path))
        for number, line in enumerate(code.splitlines(), 1):
            for match in re.finditer(r"\bInstance\s*\(\s*\)", line):
                before = line[:match.start()]
                after = line[match.end():].strip()
                if re.search(r"\bstatic\b", before) and after.startswith(";"):
                    continue  # a declaration
                # the accessor's own definition: a return type, the class, then the body or nothing
                if re.match(r"^[\w:<>\*& ]*[\*& ]\s*\w+::$", before.strip()) and (after == "" or after.startswith("{")):
                    continue
                found.append((path, number, line.strip()))
    return found


# ---------------------------------------------------------------- locks

def lock_declarations(root):
    declared = []
    pattern = re.compile(r"(?<![\w:])(" + "|".join(re.escape(t) for t in LOCK_TYPES) + r")(?![\w:])(\s*>)?")
    for path in sources(root, LAYERS):
        if path in LOCK_TYPE_FILES:
            continue
        code = strip_comments_and_strings(read(root, path))
        for number, line in enumerate(code.splitlines(), 1):
            for match in pattern.finditer(line):
                kind = match.group(1)
                rest = line[match.end(1):]
                if match.group(2):  # std::unique_ptr<CCriticalSectionEx> m_lock: an owned object
                    head = line[:match.start()]
                    if not re.search(r"(unique_ptr|shared_ptr)\s*<\s*$", head):
                        continue
                    rest = line[match.end():]
                # An object: the type, then a name and ; = { ( or [; not a reference, a pointer,
                # a template argument of a guard, a class head or a cast.
                if re.match(r"^\s*[&\*]", rest) or re.match(r"^\s*>", rest) and not match.group(2):
                    continue
                if re.search(r"\b(class|struct)\s*$", line[:match.start()]):
                    continue
                m = re.match(r"^\s*(\w+)\s*(;|=|\{|\(|\[)", rest)
                if m is None or m.group(1) in ("guard", "const"):
                    continue
                if re.search(r"(lock_guard|unique_lock|scoped_lock)\s*<\s*$", line[:match.start()]):
                    continue
                declared.append((kind, path, number, line.strip()))
    return declared


def raw_critical_sections(root, declared):
    return [d for d in declared if d[0] == "CRITICAL_SECTION"]


# ---------------------------------------------------------------- functions

HEAD_KEYWORDS_SCOPE = re.compile(r"\b(namespace|class|struct|union|enum)\b")
BODY_AFTER = {"const", "override", "noexcept", "final", "mutable", "try", "volatile"}


def functions(path, text):
    """Function bodies at namespace or class level: (name, first line, last line)."""
    code = strip_comments_and_strings(text)
    result = []
    # scope kinds: 'ns' (global, namespace, extern "C"), 'class', 'func', 'other'
    stack = ["ns"]
    head_start = 0
    i, n = 0, len(code)
    line_starts = [0]
    for k, c in enumerate(code):
        if c == "\n":
            line_starts.append(k + 1)

    def line_of(pos):
        lo, hi = 0, len(line_starts) - 1
        while lo < hi:
            mid = (lo + hi + 1) // 2
            if line_starts[mid] <= pos:
                lo = mid
            else:
                hi = mid - 1
        return lo + 1

    def matching(pos):
        depth = 0
        for j in range(pos, n):
            if code[j] == "{":
                depth += 1
            elif code[j] == "}":
                depth -= 1
                if depth == 0:
                    return j
        return n - 1

    def skip_preprocessor(pos):
        while pos < n and code[pos] in " \t\n":
            pos += 1
        return pos

    while i < n:
        c = code[i]
        if c == "#" and (i == 0 or code[line_starts[line_of(i) - 1]:i].strip() == ""):
            j = code.find("\n", i)
            while j > 0 and code[j - 1] == "\\":
                j = code.find("\n", j + 1)
            i = n if j < 0 else j + 1
            head_start = i
            continue
        if stack[-1] in ("func", "other"):
            if c == "{":
                stack.append("other")
            elif c == "}":
                stack.pop()
                if stack[-1] in ("ns", "class"):
                    head_start = i + 1
            i += 1
            continue
        if c in ";":
            head_start = i + 1
        elif c == "}":
            if len(stack) > 1:
                stack.pop()
            head_start = i + 1
        elif c == ":" and stack[-1] == "class" and re.search(r"\b(public|private|protected)\s*$", code[head_start:i]):
            head_start = i + 1
        elif c == "{":
            head = code[head_start:i]
            words = re.findall(r"[\w~]+", head)
            prev = head.rstrip()
            last_word = words[-1] if words else ""
            if "(" in head and ")" in head and prev and (prev[-1] in "\w>_" or prev[-1].isalnum()) \
                    and last_word not in BODY_AFTER and re.search(r"\)\s*:", head) and not prev.endswith(")"):
                # a brace initialiser of a constructor's member list: part of the head
                i = matching(i) + 1
                continue
            if HEAD_KEYWORDS_SCOPE.search(head) and ("(" not in head or re.search(r"\b(class|struct|namespace)\b[^()]*$", head)):
                kind = "ns" if re.search(r"\bnamespace\b", head) else "class"
                if re.search(r"\benum\b", head):
                    kind = "other"
                stack.append(kind)
            elif re.search(r'extern\s+"', head) and "(" not in head:
                stack.append("ns")
            elif ")" in head and not re.search(r"=\s*$", head.strip()) and not re.search(r"=\s*[^=]*$", head.split(")")[-1] if False else ""):
                end = matching(i)
                first = skip_preprocessor(head_start)
                start_line, end_line = line_of(first), line_of(end)
                name_match = re.search(r"([\w:~]+(?:operator\s*\S+)?)\s*\((?![^()]*\)\s*\()", head)
                name = name_match.group(1) if name_match else head.strip()[:40]
                if not re.match(r"^\s*(return|if|while|for|switch)\b", head.strip()):
                    result.append((name, start_line, end_line, stack[-1] == "class"))
                i = end + 1
                head_start = i
                continue
            else:
                stack.append("other")
            head_start = i + 1
        i += 1
    return result


def long_functions(root):
    found = []
    for path in sources(root, CODE_FOLDERS):
        for name, first, last, _ in functions(path, read(root, path)):
            length = last - first + 1
            if length > MAX_FUNCTION_LINES:
                found.append((length, path, first, name))
    return sorted(found, reverse=True)


# ---------------------------------------------------------------- circles across folders

def owner_folder(root, header_name):
    """The folder that implements an include/ header's class: where its .cpp is."""
    stem = os.path.splitext(header_name)[0]
    for folder in LAYERS[:-1]:
        if os.path.exists(os.path.join(root, folder, stem + ".cpp")):
            return folder
    return None


def header_folders(root):
    owners = {}
    for path in sources(root, LAYERS):
        folder, name = path.split(os.sep)[0], os.path.basename(path)
        if not name.endswith(".h"):
            continue
        if folder == "include":
            if name in CONTRACT_HEADERS:
                owners.setdefault(name, "contract")
                continue
            if name in HEADER_OWNERS:
                owners.setdefault(name, HEADER_OWNERS[name])
                continue
            owners.setdefault(name, owner_folder(root, name) or "include")
        else:
            owners.setdefault(name, folder)
    return owners


def definitions(root):
    """Names a folder defines: qualified member definitions X::F and free functions."""
    qualified = defaultdict(set)
    members = defaultdict(set)
    for path in sources(root, LAYERS):
        folder = path.split(os.sep)[0]
        if folder == "include":
            folder = header_folders(root).get(os.path.basename(path), "include")
            if folder in ("include", "contract"):
                continue
        for name, _, _, in_class in functions(path, read(root, path)):
            if "::" in name:
                cls, method = name.rsplit("::", 1)
                qualified[name].add(folder)
                members[method].add(folder)
            elif in_class:
                members[name].add(folder)
        # An interface's operations belong to the folder that declares it, not to its implementers.
        for match in re.finditer(r"virtual[^;{}()]*?\b(\w+)\s*\([^;{}]*\)\s*(const\s*)?=\s*0\s*;",
                                 strip_comments_and_strings(read(root, path))):
            members[match.group(1)].add(folder)
    return qualified, members


# Members of the standard library's types: a call of one of them names no folder of the house.
STANDARD_MEMBERS = {"begin", "end", "size", "empty", "clear", "insert", "erase", "find", "push_back",
                    "emplace_back", "count", "get", "reset", "release", "swap", "data", "c_str", "front",
                    "back", "lock", "unlock", "try_lock", "load", "store", "exchange", "fetch_or", "assign",
                    "append", "substr", "length", "reserve", "resize", "pop_front", "pop_back", "join",
                    "detach", "remove", "remove_if", "splice", "emplace", "at", "Release", "Reset", "Get"}


def folder_edges(root):
    owners = header_folders(root)
    qualified, members = definitions(root)
    # Where a header's own folder could not be told, its classes' definitions say it.
    for name, folder in list(owners.items()):
        if folder == "include":
            stem = os.path.splitext(name)[0]
            places = {f for q, fs in qualified.items() if q.split("::")[0] == stem for f in fs}
            if len(places) == 1:
                owners[name] = places.pop()
    edges = defaultdict(set)  # (a, b) -> reasons
    for path in sources(root, LAYERS):
        folder = path.split(os.sep)[0]
        if folder == "include":
            continue
        code = strip_comments_and_strings(read(root, path))
        raw = read(root, path)
        for header in re.findall(r'#include\s+"([^"]+)"', raw):
            target = owners.get(os.path.basename(header))
            if target and target not in (folder, "contract", "include"):
                edges[(folder, target)].add("includes " + header + " (" + path + ")")
        for match in re.finditer(r"\b(\w+)::(\w+)\s*\(", code):
            name = match.group(1) + "::" + match.group(2)
            for target in qualified.get(name, ()):
                if target != folder and len(qualified[name]) == 1:
                    edges[(folder, target)].add("calls " + name + " (" + path + ")")
        for match in re.finditer(r"(?:->|\.)\s*(\w+)\s*\(", code):
            places = members.get(match.group(1), set())
            if len(places) == 1 and match.group(1) not in STANDARD_MEMBERS:
                target = next(iter(places))
                if target != folder:
                    edges[(folder, target)].add("calls ->" + match.group(1) + " (" + path + ")")
    return edges


def circles(edges):
    graph = defaultdict(set)
    for a, b in edges:
        graph[a].add(b)
    # strongly connected components (Tarjan)
    index, low, on, stack, comps = {}, {}, set(), [], []
    counter = [0]

    def visit(v):
        index[v] = low[v] = counter[0]
        counter[0] += 1
        stack.append(v)
        on.add(v)
        for w in sorted(graph[v]):
            if w not in index:
                visit(w)
                low[v] = min(low[v], low[w])
            elif w in on:
                low[v] = min(low[v], index[w])
        if low[v] == index[v]:
            comp = []
            while True:
                w = stack.pop()
                on.discard(w)
                comp.append(w)
                if w == v:
                    break
            if len(comp) > 1:
                comps.append(sorted(comp))

    for v in sorted(set(graph) | {b for a, b in edges}):
        if v not in index:
            visit(v)
    return comps


def main():
    args = [a for a in sys.argv[1:] if not a.startswith("--")]
    listing = "--list" in sys.argv
    root = args[0] if args else os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

    calls = instance_calls(root)
    declared = lock_declarations(root)
    # The contract's critical section is a lock of the kind it is built on, recursive either way.
    critical = read(root, os.path.join("support", "CriticalSectionEx.h"))
    base = "zerova::RecursiveMutex" if "zerova::RecursiveMutex" in critical else "CRITICAL_SECTION"
    kinds = sorted({base if d[0] == "CCriticalSectionEx" else d[0] for d in declared})
    recursive = [d for d in declared if d[0] in RECURSIVE_TYPES or d[0] == "CCriticalSectionEx"]
    raw = raw_critical_sections(root, declared)
    long = long_functions(root)
    edges = folder_edges(root)
    comps = circles(edges)

    print("Instance() calls in %s: %d" % ("/, ".join(LAYERS) + "/", len(calls)))
    per_folder = defaultdict(int)
    for path, _, _ in calls:
        per_folder[path.split(os.sep)[0]] += 1
    print("  by folder: " + ", ".join("%s %d" % (f, per_folder[f]) for f in LAYERS if per_folder[f]))
    print("lock kinds: %d (%s)" % (len(kinds), ", ".join(kinds)))
    print("recursive mutexes: %d (%s)" % (len(recursive), ", ".join("%s:%d" % (d[1], d[2]) for d in recursive)))
    print("raw CRITICAL_SECTION members outside CCriticalSectionEx: %d" % len(raw))
    print("functions over %d lines: %d" % (MAX_FUNCTION_LINES, len(long)))
    print("circles across folders: %d%s" % (len(comps), "".join(" [" + " <-> ".join(c) + "]" for c in comps)))
    if listing:
        print("\nInstance() calls:")
        for path, number, line in calls:
            print("  %s:%d: %s" % (path, number, line))
        print("\nlocks:")
        for kind, path, number, line in declared:
            print("  %-24s %s:%d: %s" % (kind, path, number, line))
        print("\nfunctions over %d lines:" % MAX_FUNCTION_LINES)
        for length, path, first, name in long:
            print("  %4d %s:%d %s" % (length, path, first, name))
        print("\nedges between folders:")
        for (a, b), reasons in sorted(edges.items()):
            print("  %s -> %s: %s" % (a, b, "; ".join(sorted(reasons)[:4]) + (" ..." if len(reasons) > 4 else "")))


if __name__ == "__main__":
    main()
