#!/usr/bin/env bash
# The main job: installs the reference tray host, the default GUI tree and the sample plug-ins into
# build/demo, registers the samples, starts the host in the project's Wine prefix, steers it from
# outside with varnelctl and tells what happened after each step. Exits 0 only when every step did
# what it should. Expects ./run build to have run (./run demo does that first).
#
#   demo.sh [--arch i686|x86_64] [--screenshots [FOLDER]]
#     --arch          the programs of that build (default: i686, the product's target, where this
#                     machine runs 32-bit Wine, else x86_64)
#     --screenshots   also show the dialogs on a virtual display (Xvfb) and save them as PNG files
#                     (default folder build/demo/screenshots)
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
export WINEPREFIX="${WINEPREFIX:-$ROOT/build/wineprefix}"
export WINEDEBUG="${WINEDEBUG:--all}"
WINESERVER=/usr/lib/wine/wineserver
PLUGINS='HKLM\SOFTWARE\Zerova\Varnel\Plugins'
SAMPLES=(SampleProtection SampleUpdater SampleErrorLogger SampleScanner)
SHOTS=""
ARCH=""
while [ $# -gt 0 ]; do
  case "$1" in
    --arch) ARCH="${2:-}"; shift 2 || { echo "demo.sh: --arch needs i686 or x86_64" >&2; exit 2; } ;;
    --screenshots)
      SHOTS="$ROOT/build/demo/screenshots"
      if [ -n "${2:-}" ] && [ "${2#--}" = "$2" ]; then SHOTS="$2"; shift; fi
      shift ;;
    *) echo "usage: demo.sh [--arch i686|x86_64] [--screenshots [FOLDER]]" >&2; exit 2 ;;
  esac
done
if [ -z "$ARCH" ]; then
  if /usr/lib/wine/wine --version >/dev/null 2>&1; then ARCH=i686; else
    ARCH=x86_64
    echo "demo: 32-bit Wine cannot run here, so the demo runs the x86_64 build"
  fi
fi
case "$ARCH" in
  x86_64) WINE=/usr/lib/wine/wine64 ;;
  i686) WINE=/usr/lib/wine/wine
        [ -x "$WINE" ] || { echo "demo: --arch i686 needs 32-bit Wine ($WINE), which this machine lacks" >&2; exit 1; } ;;
  *) echo "demo.sh: unknown architecture $ARCH (i686 or x86_64)" >&2; exit 2 ;;
esac
BIN="$ROOT/build/$ARCH/bin"
DEMO="$ROOT/build/demo-$ARCH"
HOST_LOG="$DEMO/host.log"

winpath() { printf 'Z:%s' "${1//\//\\}"; }
say() { printf '\n== %s\n' "$*"; }
fail() { printf '\nDEMO FAILED: %s\n' "$*" >&2; "$WINESERVER" -k >/dev/null 2>&1 || true; exit 1; }
# Ends the Wine session of the prefix and waits until its server is gone, so that the next Wine
# program does not reach a server that is still shutting down.
end_wine_session() { "$WINESERVER" -k >/dev/null 2>&1 || true; "$WINESERVER" -w >/dev/null 2>&1 || true; }
# A registry value; a failure is said, not left to end the script without a word.
reg_add() {
  local attempt
  for attempt in 1 2 3; do
    "$WINE" reg add "$@" >/dev/null 2>&1 && return 0
    sleep 1
  done
  fail "could not write the registry value: reg add $*"
}
ctl() { "$WINE" "$DEMO/varnelctl.exe" "$@" 2>&1 | tr -d '\r'; }
host_log() { if [ -f "$HOST_LOG" ]; then tr -d '\r' <"$HOST_LOG"; fi; }

# The facts the host reported after the last request: its last report block.
last_report() { host_log | awk '/^report after /{block=""} {block=block $0 "\n"} END{printf "%s", block}'; }

wait_for() {  # wait_for SECONDS TEXT: until the host log holds TEXT
  local deadline=$((SECONDS + $1))
  until host_log | grep -qF -- "$2"; do
    [ $SECONDS -lt $deadline ] || fail "the host did not report: $2"
    sleep 0.3
  done
}

expect_in_report() {  # the last report holds every given text
  local report; report="$(last_report)"
  for text in "$@"; do grep -qF -- "$text" <<<"$report" || fail "expected in the host's report: $text"; done
}

show_report() {
  last_report | grep -E "plug-in \"|tray state" | sed 's/^  /   /'
}

show_menu() {
  last_report | sed -n '/tray menu:/,$p' | tail -n +2 | grep '^    ' || true
}

request() {  # request DESCRIPTION VARNELCTL-ARGUMENTS...
  local what="$1"; shift
  say "$what"
  local before; before="$(host_log | grep -c '^report after ' || true)"
  echo "   varnelctl $*: $(ctl "$@")"
  local deadline=$((SECONDS + 15))
  until [ "$(host_log | grep -c '^report after ' || true)" -gt "$before" ]; do
    [ $SECONDS -lt $deadline ] || fail "the host did not answer: $what"
    sleep 0.2
  done
}

# ---------------------------------------------------------------- install and register
say "Installing the $ARCH tray host, the GUI tree and the sample plug-ins into $DEMO"
end_wine_session
rm -rf "$DEMO"
mkdir -p "$DEMO"
cp "$BIN"/{Varnel.exe,varnelctl.exe,VarnelInterfaceLib.dll,ZerovaWin32GUISupportDLL.dll,ZerovaLanguage.dll} "$DEMO/"
cp -r "$BIN/Varnel" "$DEMO/"
for sample in "${SAMPLES[@]}"; do cp "$BIN/$sample.dll" "$DEMO/"; done
# Messages that may close by themselves do so after 3 seconds in the demo.
sed -i 's/^autokill_seconds=.*/autokill_seconds=3/' "$DEMO/Varnel/Images/Zerova/advisory_dlg.ini"
ls "$DEMO" | sed 's/^/   /'

register_samples() {  # in the prefix of $WINEPREFIX
  "$WINE" reg delete "$PLUGINS" /f >/dev/null 2>&1 || true
  "$WINE" reg delete 'HKLM\SOFTWARE\Zerova\Varnel' /v ApplicationFolder /f >/dev/null 2>&1 || true
  for sample in "${SAMPLES[@]}"; do
    reg_add "$PLUGINS\\$sample" /v Path /d "$(winpath "$DEMO/$sample.dll")" /f
    reg_add "$PLUGINS\\$sample" /v Name /d "$sample" /f
  done
  reg_add "$PLUGINS\\SampleErrorLogger" /v LogFile /d "$(winpath "$DEMO/errors.log")" /f
}

"$WINESERVER" -p >/dev/null 2>&1 </dev/null
register_samples
echo "   registered under $PLUGINS: ${SAMPLES[*]}"

# ---------------------------------------------------------------- run
say "Starting Varnel.exe (headless) in the Wine prefix $WINEPREFIX"
"$WINE" "$DEMO/Varnel.exe" --headless --report --log "$(winpath "$DEMO/host.log")" >/dev/null 2>&1 &
HOST_PID=$!
wait_for 30 "ready"
echo "   $(host_log | grep '^plug-ins loaded')"
show_report
expect_in_report 'shown as "Real-time Protection": loaded' 'shown as "Definition Updater": loaded' \
  'shown as "Error Log": loaded' 'shown as "On-demand Scanner": loaded' 'tray state 0'
echo "   tray menu, with the command identifiers:"
show_menu
expect_in_report 'Pause protection' 'Show protection status' '[25001] Update definitions now'

request "Step 1: another process asks the protection plug-in to pause" plugin-comm protection:pause 1
show_report
expect_in_report 'state 1 "Real-time protection is paused"' 'tray state 1'

request "Step 2: the protection fails (an error the error logger writes down)" plugin-comm protection:fail 2
show_report
expect_in_report 'state 2 "Real-time protection stopped unexpectedly"' 'tray state 2'
grep -q "error 9001" "$DEMO/errors.log" || fail "the error logger did not write the error"
echo "   error log: $(tr -d '\r' <"$DEMO/errors.log" | tail -1)"

request "Step 3: protection back to normal" plugin-comm protection:resume 3
show_report
expect_in_report 'state 0 "Real-time protection is on"' 'tray state 0'

request "Step 4: unload the protection plug-in by its library path" unload-plugin "$(winpath "$DEMO/SampleProtection.dll")"
show_report
expect_in_report '"SampleProtection" shown as "": unloaded'
last_report | grep -q "Pause protection" && fail "the protection plug-in's menu items are still in the menu"
echo "   its menu items are gone; the menu now:"
show_menu

request "Step 5: load it again" load-plugin "$(winpath "$DEMO/SampleProtection.dll")"
show_report
expect_in_report 'shown as "Real-time Protection": loaded' 'Pause protection'

request "Step 6: a scan with a progress dialog, ending with an advisory message" plugin-comm scanner:scan 4
echo "   the scan runs; its message closes by itself after 3 seconds"
sleep 6
request "Step 7: load every registered plug-in (all are loaded: nothing new)" load-all
show_report
expect_in_report 'state 0 "Last scan: 5 files, no threats"'

request "Step 8: a buggy plug-in: the updater is asked to read through a bad pointer" plugin-comm updater:crash 5
show_report
expect_in_report 'stopped working: PluginActivity raised exception 0xC0000005.' 'tray state 2'
last_report | grep -q "Update definitions now" && fail "the stopped updater's menu entry is still in the menu"
echo "   the host lives on: the updater shows as stopped and its menu entry is gone"

request "Step 9: the other plug-ins keep working: protection pauses" plugin-comm protection:pause 6
show_report
expect_in_report 'state 1 "Real-time protection is paused"'

say "The last lines of the state history file"
HISTORY="$(find "$WINEPREFIX/drive_c/users" -name VarnelPluginStateHistory.txt | head -1)"
[ -n "$HISTORY" ] || fail "no state history file"
iconv -f UTF-16LE -t UTF-8 "$HISTORY" | tr -d '\r' | tail -6 | sed 's/^/   /'

request "Step 10: unload every tray host (the proxy Varnel.exe unload)" unload-all
wait_for 20 "stopped"
wait "$HOST_PID" 2>/dev/null || true
echo "   the host unloaded its plug-ins and ended"
"$WINESERVER" -k >/dev/null 2>&1 || true

# ---------------------------------------------------------------- screenshots on a virtual display
take_screenshots() {
  local display=:77 prefix="$ROOT/build/wineprefix-display"
  local needed=() p
  for p in xvfb x11-apps imagemagick; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || needed+=("$p")
  done
  if [ ${#needed[@]} -gt 0 ]; then
    say "Installing ${needed[*]} for the screenshots"
    local sudo=""; [ "$(id -u)" -ne 0 ] && sudo="sudo"
    $sudo apt-get update -qq || true
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${needed[@]}" >/dev/null
  fi
  mkdir -p "$SHOTS"
  export WINEPREFIX="$prefix" DISPLAY="$display"
  # A prefix made before 32-bit Wine was installed cannot run the i686 programs: made anew.
  if [ -f "$prefix/.varnel-ready" ] && [ -x /usr/lib/wine/wine ] && [ ! -f "$prefix/drive_c/windows/syswow64/kernel32.dll" ]; then
    rm -rf "$prefix"
  fi
  if [ ! -f "$prefix/.varnel-ready" ]; then
    say "Creating the Wine prefix $prefix (with a display driver)"
    mkdir -p "$prefix"
    "$WINE" wineboot -i >/dev/null 2>&1 || true
    "$WINE" reg add 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\AeDebug' /v Debugger /d no-debugger.exe /f >/dev/null 2>&1 || true
    "$WINESERVER" -w
    touch "$prefix/.varnel-ready"
  fi
  Xvfb "$display" -screen 0 1024x768x24 >/dev/null 2>&1 &
  local xvfb=$!
  sleep 1
  "$WINESERVER" -p >/dev/null 2>&1 </dev/null
  register_samples
  # The progress dialog opens with its details shown.
  reg_add 'HKCU\SOFTWARE\Zerova\Varnel\ProgressDialog' /v ProgressDlg_details /t REG_DWORD /d 1 /f
  say "Screenshots on the virtual display $display"
  local what
  for what in health about history; do
    HOST_LOG="$DEMO/host-$what.log"
    "$WINE" "$DEMO/Varnel.exe" --show "$what" --log "$(winpath "$HOST_LOG")" >/dev/null 2>&1 &
    wait_for 30 "ready"
    sleep 5
    xwd -root -silent -display "$display" | convert xwd:- "$SHOTS/$what.png"
    echo "   $SHOTS/$what.png"
    "$WINESERVER" -k >/dev/null 2>&1 || true
    sleep 1
  done
  HOST_LOG="$DEMO/host-scan.log"
  "$WINE" "$DEMO/Varnel.exe" --log "$(winpath "$HOST_LOG")" >/dev/null 2>&1 &
  wait_for 30 "ready"
  ctl plugin-comm scanner:scan 1 >/dev/null
  sleep 0.5
  xwd -root -silent -display "$display" | convert xwd:- "$SHOTS/progress.png"
  echo "   $SHOTS/progress.png"
  sleep 3
  xwd -root -silent -display "$display" | convert xwd:- "$SHOTS/advisory.png"
  echo "   $SHOTS/advisory.png"
  "$WINESERVER" -k >/dev/null 2>&1 || true
  kill "$xvfb" 2>/dev/null || true
}
if [ -n "$SHOTS" ]; then take_screenshots; fi

say "Demo done: every step did what it should. Host log: $DEMO/host.log"
if [ -n "$SHOTS" ]; then echo "   screenshots: $SHOTS"; fi
