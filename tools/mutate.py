#!/usr/bin/env python3
"""Plants the slips of tools/mutations.txt in the sources one at a time, rebuilds what the slip's
file belongs to, runs the test programs that cover it (stopping at the first failing test) and
prints, per slip, whether the suite killed it and which test did.

    tools/mutate.py --arch x86_64|i686 [--only TEXT] [--numbers 4,19-25] [--list]

Expects `./run build` to have run. Every file is restored after its slip, also when the run is
interrupted. The run uses a Wine prefix of its own (build/wineprefix-mutate-ARCH).
"""
import argparse
import os
import re
import shutil
import signal
import subprocess
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
LOADERS = {"x86_64": "/usr/lib/wine/wine64", "i686": "/usr/lib/wine/wine"}

# What a slip's folder is built into, and which test programs to run first (those that cover the
# folder), then the rest. A program is a list of arguments after the loader; "ctest:NAME" runs a
# ctest entry that is no single program.
TARGETS = {
    "support": ["ZerovaWin32GUISupportDLL"],
    "host": ["Varnel", "varnelctl"],
}
LIBRARY_TARGETS = ["VarnelInterfaceLib"]
PROGRAMS = {
    "plugins": ["PluginHostTests", "FoundationTests", "DialogTests", "IpcTests"],
    "menu": ["PluginHostTests", "FoundationTests", "DialogTests", "ctest:LanguageEnglish", "ctest:LanguageGerman"],
    "control": ["PluginHostTests", "IpcTests", "FoundationTests"],
    "dialogs": ["DialogTests", "PluginHostTests", "ctest:LanguageEnglish", "ctest:LanguageGerman"],
    "foundation": ["FoundationTests", "PluginHostTests"],
    "support": ["SupportTests", "PluginHostTests", "DialogTests", "FoundationTests"],
    "host": ["IpcTests", "ToolTests", "ctest:Demo"],
}
# The test groups that most likely catch a slip in a file, run before the whole programs so that a
# caught slip costs seconds: file -> [(program, gtest filter)].
FOCUS = {
    "plugins/PluginStateHistory.cpp": [("PluginHostTests", "History.*")],
    "plugins/Plugin.cpp": [("PluginHostTests", "Loader.*:State*.*:Faults.*")],
    "plugins/PluginLoader.cpp": [("PluginHostTests", "Loader.*:State*.*:Faults.*")],
    "plugins/PluginCalls.cpp": [("PluginHostTests", "Loader.*:State*.*:Faults.*")],
    "plugins/PluginTexts.cpp": [("PluginHostTests", "Text*.*:BadInput*.*")],
    "plugins/CallerText.cpp": [("PluginHostTests", "Text*.*:State*.*:PluginObject.*:BadInput*.*")],
    "plugins/PluginFaultGuard.cpp": [("PluginHostTests", "Faults.*")],
    "plugins/PluginInterface.cpp": [("PluginHostTests", "Loader.*:Menu*.*:Broadcasts.*")],
    "plugins/RegistryLookups.cpp": [("PluginHostTests", "Loader.*:Menu*.*:Broadcasts.*")],
    "plugins/RegistryParts.h": [("PluginHostTests", "Loader.*:Menu*.*:Broadcasts.*")],
    "menu/VarnelMenuUtils.cpp": [("PluginHostTests", "Menu*.*")],
    "menu/MenuItemIndex.cpp": [("PluginHostTests", "Menu*.*")],
    "menu/MenuItemOperations.cpp": [("PluginHostTests", "Menu*.*")],
    "menu/MenuFlyouts.cpp": [("PluginHostTests", "Menu*.*")],
    "support/FileIO.cpp": [("SupportTests", "*"), ("PluginHostTests", "History.*")],
    "control/VarnelPrivateInterface.cpp": [("IpcTests", "CopyData.*:TrayControl.*")],
    "control/StationDesktopUtils.cpp": [("IpcTests", "Walks.*:SecurityHelpers.*")],
}


class Slip:
    def __init__(self, number, path, before, after, why):
        self.number, self.path, self.before, self.after, self.why = number, path, before, after, why


def read_slips(listing):
    """tools/mutations.txt: blocks of four lines (file, the exact text, its replacement, why),
    separated by blank lines; '#' starts a comment line. The text must occur exactly once."""
    slips, block = [], []
    with open(listing, encoding="utf-8") as source:
        lines = [line.rstrip("\n") for line in source if not line.startswith("#")]
    lines.append("")
    for line in lines:
        if line.strip():
            block.append(line)
            continue
        if not block:
            continue
        if len(block) != 4 or not block[1].startswith("- ") or not block[2].startswith("+ "):
            sys.exit("mutations.txt: malformed block: %r" % block)
        slips.append(Slip(len(slips) + 1, block[0].strip(), block[1][2:], block[2][2:], block[3].strip()))
        block = []
    return slips


def folder_of(slip):
    return slip.path.split("/")[0]


def build(arch, targets, log):
    for target in targets:
        result = subprocess.run(["cmake", "--build", os.path.join(ROOT, "build", arch), "-j2", "--target", target],
                                stdout=log, stderr=subprocess.STDOUT)
        if result.returncode != 0:
            return False
    return True


def run_program(arch, program, env, log, test_filter=None):
    """Returns (passed, name of the first failing test or None)."""
    bin_folder = os.path.join(ROOT, "build", arch, "bin")
    if program.startswith("ctest:"):
        result = subprocess.run(["ctest", "--test-dir", os.path.join(ROOT, "build", arch), "-R",
                                 "^%s$" % program[6:], "--timeout", "600"], env=env, stdout=log,
                                stderr=subprocess.STDOUT)
        return result.returncode == 0, program[6:] if result.returncode != 0 else None
    output_path = log.name + ".program"
    with open(output_path, "w") as output:
        try:
            arguments = [LOADERS[arch], program + ".exe", "--gtest_fail_fast", "--gtest_brief=1"]
            if test_filter:
                arguments.append("--gtest_filter=" + test_filter)
            result = subprocess.run(arguments,
                                    cwd=bin_folder, env=env, stdout=output, stderr=subprocess.STDOUT, timeout=600)
            code = result.returncode
        except subprocess.TimeoutExpired:
            code = -1
    with open(output_path, encoding="utf-8", errors="replace") as output:
        text = output.read()
    log.write(text)
    os.remove(output_path)
    if code == 0:
        return True, None
    failed = re.findall(r"\[  FAILED  \] (\S+)", text)
    if failed:
        return False, "%s %s" % (program, failed[0])
    return False, "%s %s" % (program, "(hung)" if code == -1 else "(crashed)")


def confirmed(arch, program, failure, env, log, test_filter=None):
    """A failure counts only when it comes again: the failing test run once more on its own (a test
    program that crashed, or a ctest entry, runs whole once more). A host that Wine could not start,
    or any other passing fault of the machine, then does not count as a kill. A program still
    running after ten minutes is not run again."""
    failed_test = failure.split(" ", 1)[1] if " " in failure else ""
    if failed_test == "(hung)":
        return True
    log.write("\n---- %s failed: running it once more\n" % failure)
    if program.startswith("ctest:") or not failed_test or failed_test.startswith("("):
        passed, _ = run_program(arch, program, env, log, test_filter)
    else:
        passed, _ = run_program(arch, program, env, log, failed_test)
    if passed:
        log.write("---- not repeated: not counted\n")
    return not passed


# What the slip before left built from a slipped source; rebuilt from the restored sources with the
# next slip (a support slip alone rebuilds only the support library, which would leave the interface
# library of a slip before it in bin/ for every program that loads both). The first slip brings all
# three up to date, in case a run before was stopped in the middle of a slip.
left_slipped = ["VarnelInterfaceLib", "ZerovaWin32GUISupportDLL", "Varnel"]


def try_slip(arch, slip, env, log):
    path = os.path.join(ROOT, slip.path)
    with open(path, encoding="utf-8") as source:
        original = source.read()
    if original.count(slip.before) != 1:
        return "stale", "the text occurs %d times" % original.count(slip.before)
    folder = folder_of(slip)
    targets = TARGETS.get(folder, LIBRARY_TARGETS)
    try:
        with open(path, "w", encoding="utf-8") as source:
            source.write(original.replace(slip.before, slip.after))
        restored = [target for target in left_slipped if target not in targets]
        left_slipped[:] = targets
        if not build(arch, restored + targets, log):
            return "stale", "the slip does not compile"
        # Each group of a focus runs on its own, in the order given: a test program runs its tests in
        # its own order, and one filter would run the slow groups (crash dumps) before the likely ones.
        focused = {}
        for program, test_filter in FOCUS.get(slip.path, []):
            for group in test_filter.split(":"):
                passed, failure = run_program(arch, program, env, log, group)
                if not passed and confirmed(arch, program, failure, env, log, group):
                    return "killed", failure
                focused.setdefault(program, []).append(group)
        programs = PROGRAMS.get(folder, ["PluginHostTests"])
        for program in programs:
            # The rest of the program: the groups of the focus have run already.
            rest = "*-" + ":".join(focused[program]) if program in focused else None
            passed, failure = run_program(arch, program, env, log, rest)
            if not passed and confirmed(arch, program, failure, env, log, rest):
                return "killed", failure
        return "survived", ""
    finally:
        with open(path, "w", encoding="utf-8") as source:
            source.write(original)
        os.utime(path, None)


def stop_on_signal(number, frame):
    """A run ended from outside restores the slipped file like an interrupted one."""
    raise KeyboardInterrupt


def main():
    signal.signal(signal.SIGTERM, stop_on_signal)
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--arch", choices=sorted(LOADERS), default="x86_64")
    parser.add_argument("--only", default="", help="only the slips whose file or reason holds this text")
    parser.add_argument("--numbers", default="", help="only these slips, by number: 4,12,19-25")
    parser.add_argument("--list", action="store_true", help="list the slips and end")
    options = parser.parse_args()
    slips = [slip for slip in read_slips(os.path.join(ROOT, "tools", "mutations.txt"))
             if options.only in slip.path or options.only in slip.why]
    if options.numbers:
        wanted = set()
        for part in options.numbers.split(","):
            first, _, last = part.partition("-")
            wanted.update(range(int(first), int(last or first) + 1))
        slips = [slip for slip in slips if slip.number in wanted]
    if options.list:
        for slip in slips:
            print("%3d %-36s %s" % (slip.number, slip.path, slip.why))
        return 0
    env = dict(os.environ, WINEDEBUG="-all",
               WINEPREFIX=os.path.join(ROOT, "build", "wineprefix-mutate-" + options.arch))
    if not os.path.isdir(env["WINEPREFIX"]):
        shutil.copytree(os.path.join(ROOT, "build", "wineprefix"), env["WINEPREFIX"], symlinks=True)
    subprocess.run(["/usr/lib/wine/wineserver", "-p"], env=env)
    # A program that crashes ends at once, in both views of the registry: 32-bit programs read the
    # debugger from the 32-bit one, where Wine's debugger may wait for ever on a broken stack.
    for view in ("Software", "Software\\Wow6432Node"):
        subprocess.run([LOADERS["x86_64"], "reg", "add", "HKLM\\%s\\Microsoft\\Windows NT\\CurrentVersion\\AeDebug" % view,
                        "/v", "Debugger", "/d", "no-debugger.exe", "/f"], env=env, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL)
    log_path = os.path.join(ROOT, "build", "mutate-%s.log" % options.arch)
    started = time.time()
    results = []
    with open(log_path, "w") as log:
        try:
            for slip in slips:
                log.write("\n==== slip %d: %s: %s\n" % (slip.number, slip.path, slip.why))
                log.flush()
                began = time.time()
                verdict, by = try_slip(options.arch, slip, env, log)
                results.append((slip, verdict, by))
                print("%3d %-8s %4.0fs  %-34s %s%s" % (slip.number, verdict, time.time() - began, slip.path, slip.why,
                                                       "  [%s]" % by if by else ""), flush=True)
        finally:
            # Everything back as it was: the library rebuilt from the restored sources.
            build(options.arch, ["VarnelInterfaceLib", "ZerovaWin32GUISupportDLL", "Varnel"], log)
            subprocess.run(["/usr/lib/wine/wineserver", "-k"], env=env)
    judged = [r for r in results if r[1] != "stale"]
    killed = sum(1 for r in judged if r[1] == "killed")
    minutes = (time.time() - started) / 60
    print("%s: %d slips, %d killed, %d survived, %d stale; %.0f%% killed in %.0f minutes (log: %s)" % (
        options.arch, len(judged), killed, len(judged) - killed, len(results) - len(judged),
        100.0 * killed / len(judged) if judged else 0, minutes, os.path.relpath(log_path, ROOT)))
    return 0


if __name__ == "__main__":
    sys.exit(main())
