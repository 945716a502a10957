#!/usr/bin/env bash
# Runs every test program of one build several times and counts the passes, to find flaky tests.
#   tools/repeat.sh ARCH TIMES [PREFIX]   ARCH x86_64 or i686; PREFIX a Wine prefix of its own
#                                         (default build/wineprefix-repeat-ARCH, copied from
#                                         build/wineprefix), so that two architectures can run at once.
# Expects ./run build to have run. Prints one line per program: passes out of TIMES.
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
ARCH="${1:?architecture}"
TIMES="${2:?times}"
export WINEPREFIX="${3:-$ROOT/build/wineprefix-repeat-$ARCH}"
export WINEDEBUG=-all
[ -d "$WINEPREFIX" ] || cp -a "$ROOT/build/wineprefix" "$WINEPREFIX"
case "$ARCH" in x86_64) WINE=/usr/lib/wine/wine64 ;; i686) WINE=/usr/lib/wine/wine ;; *) exit 2 ;; esac
BIN="$ROOT/build/$ARCH/bin"
LOGS="$ROOT/build/repeat-$ARCH"
mkdir -p "$LOGS"
/usr/lib/wine/wineserver -p >/dev/null 2>&1 </dev/null
run_program() {  # NAME COMMAND...
  local name="$1"; shift
  local passed=0 i
  for i in $(seq 1 "$TIMES"); do
    if (cd "$BIN" && timeout 600 "$@" >"$LOGS/$name-$i.log" 2>&1 </dev/null); then
      passed=$((passed + 1)); rm -f "$LOGS/$name-$i.log"
    fi
  done
  echo "$ARCH $name: $passed of $TIMES passed"
}
for program in SupportTests PluginHostTests FoundationTests IpcTests DialogTests; do
  run_program "$program" "$WINE" "$program.exe"
done
run_program HistoryInAnotherTimeZone env TZ=Asia/Kolkata VARNEL_EXPECT_TZ_BIAS=-330 "$WINE" PluginHostTests.exe --gtest_filter='History.*'
run_program Stress "$WINE" VarnelStress.exe --seconds 8
run_program Demo bash "$ROOT/tools/demo.sh" --arch "$ARCH"
run_program BenchmarkRuns "$WINE" VarnelBench.exe --quick --repeats 1
/usr/lib/wine/wineserver -k >/dev/null 2>&1 || true
echo "$ARCH: failing runs' output is in $LOGS"
