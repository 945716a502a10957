#!/usr/bin/env bash
# The main job: installs the reference tray host, the default GUI tree and the sample plug-ins into
# build/demo, registers the samples, starts the host in the project's Wine prefix, steers it from
# outside with varnelctl and tells what happened after each step. Exits 0 only when every step did
# what it should. Expects ./run build to have run (./run demo does that first).
#
#   demo.sh [--arch i686|x86_64] [--language en|de] [--screenshots [FOLDER]]
#     --arch          the programs of that build (default: i686, the product's target, where this
#                     machine runs 32-bit Wine, else x86_64)
#     --language      the user-interface language Wine reports to the tray (through LC_ALL), and so
#                     the language module it shows (default: the language of the environment)
#     --screenshots   also capture the tray menu and every dialog in the states all well, warning and
#                     error, at 96 and 144 DPI, in English and German, on a virtual display (Xvfb),
#                     as PNG files with an index page README.md (default folder docs/screenshots)
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
export WINEPREFIX="${WINEPREFIX:-$ROOT/build/wineprefix}"
export WINEDEBUG="${WINEDEBUG:--all}"
WINESERVER=/usr/lib/wine/wineserver
PLUGINS='HKLM\SOFTWARE\Zerova\Varnel\Plugins'
SAMPLES=(SampleProtection SampleUpdater SampleErrorLogger SampleScanner)
SHOTS=""
ARCH=""
LANGUAGE=""
while [ $# -gt 0 ]; do
  case "$1" in
    --arch) ARCH="${2:-}"; shift 2 || { echo "demo.sh: --arch needs i686 or x86_64" >&2; exit 2; } ;;
    --language) LANGUAGE="${2:-}"; shift 2 || { echo "demo.sh: --language needs en or de" >&2; exit 2; } ;;
    --screenshots)
      SHOTS="$ROOT/docs/screenshots"
      if [ -n "${2:-}" ] && [ "${2#--}" = "$2" ]; then SHOTS="$2"; shift; fi
      shift ;;
    *) echo "usage: demo.sh [--arch i686|x86_64] [--language en|de] [--screenshots [FOLDER]]" >&2; exit 2 ;;
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
# The Unix locale from which Wine takes the user's and the system's languages. LC_ALL is read even
# where that locale is not installed on this machine.
locale_of() {
  case "$1" in
    en) echo en_US.UTF-8 ;;
    de) echo de_DE.UTF-8 ;;
    *) echo "demo.sh: unknown language $1 (en or de)" >&2; exit 2 ;;
  esac
}
WINE_LOCALE=""
if [ -n "$LANGUAGE" ]; then WINE_LOCALE="$(locale_of "$LANGUAGE")"; fi
# Every Windows program of the demo runs in the chosen language.
wine_run() { LC_ALL="$WINE_LOCALE" "$WINE" "$@"; }
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
    wine_run reg add "$@" >/dev/null 2>&1 && return 0
    sleep 1
  done
  fail "could not write the registry value: reg add $*"
}
ctl() { wine_run "$DEMO/varnelctl.exe" "$@" 2>&1 | tr -d '\r'; }
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
cp "$BIN"/{Varnel.exe,varnelctl.exe,VarnelInterfaceLib.dll,VarnelDumpWriter.exe,ZerovaWin32GUISupportDLL.dll,ZerovaLanguage.dll,ZerovaLanguage-de.dll} "$DEMO/"
cp -r "$BIN/Varnel" "$DEMO/"
for sample in "${SAMPLES[@]}"; do cp "$BIN/$sample.dll" "$DEMO/"; done
# Messages that may close by themselves do so after 3 seconds in the demo.
sed -i 's/^autokill_seconds=.*/autokill_seconds=3/' "$DEMO/Varnel/Images/Zerova/advisory_dlg.ini"
ls "$DEMO" | sed 's/^/   /'

register_samples() {  # in the prefix of $WINEPREFIX
  wine_run reg delete "$PLUGINS" /f >/dev/null 2>&1 || true
  local value
  for value in ApplicationFolder QuarantineAfter QuarantineHours HangLimitMilliseconds WriteCrashDumps; do
    wine_run reg delete 'HKLM\SOFTWARE\Zerova\Varnel' /v "$value" /f >/dev/null 2>&1 || true
  done
  for sample in "${SAMPLES[@]}"; do
    reg_add "$PLUGINS\\$sample" /v Path /d "$(winpath "$DEMO/$sample.dll")" /f
    reg_add "$PLUGINS\\$sample" /v Name /d "$sample" /f
  done
  reg_add "$PLUGINS\\SampleErrorLogger" /v LogFile /d "$(winpath "$DEMO/errors.log")" /f
}

"$WINESERVER" -p >/dev/null 2>&1 </dev/null
register_samples
echo "   registered under $PLUGINS: ${SAMPLES[*]}"

say "What the tray host makes of a plug-in, before any host runs: varnelctl check-plugin"
CHECK="$(ctl check-plugin "$(winpath "$DEMO/SampleProtection.dll")")" || fail "check-plugin found the protection sample unfit: $CHECK"
sed 's/^/   /' <<<"$CHECK"
grep -qF "verdict: the plug-in loads and unloads cleanly" <<<"$CHECK" || fail "check-plugin gave no clean verdict"

# ---------------------------------------------------------------- run
say "Starting Varnel.exe (headless) in the Wine prefix $WINEPREFIX"
wine_run "$DEMO/Varnel.exe" --headless --report --log "$(winpath "$DEMO/host.log")" >/dev/null 2>&1 &
HOST_PID=$!
wait_for 30 "ready"
echo "   $(host_log | grep '^plug-ins loaded')"
# The language module in use shows in the host's own items; the samples follow the same language.
SHOWN_LANGUAGE=en
if last_report | grep -qF '[4000] S&ystemzustand...'; then SHOWN_LANGUAGE=de; fi
[ -z "$LANGUAGE" ] || [ "$LANGUAGE" = "$SHOWN_LANGUAGE" ] ||
  fail "the tray shows language $SHOWN_LANGUAGE, not $LANGUAGE"
# The samples' text in the language shown: tr ENGLISH GERMAN.
tr_() { if [ "$SHOWN_LANGUAGE" = de ]; then printf '%s' "$2"; else printf '%s' "$1"; fi; }
PAUSE_ITEM="$(tr_ 'Pause protection' 'Schutz anhalten')"
UPDATE_ENTRY="$(tr_ 'Update definitions now' 'Signaturen jetzt aktualisieren')"
PROTECTION="$(tr_ 'Real-time Protection' 'Echtzeitschutz')"
PAUSED="$(tr_ 'Real-time protection is paused' 'Der Echtzeitschutz ist angehalten')"
show_report
expect_in_report "shown as \"$PROTECTION\": loaded" "shown as \"$(tr_ 'Definition Updater' 'Signaturaktualisierung')\": loaded" \
  "shown as \"$(tr_ 'Error Log' 'Fehlerprotokoll')\": loaded" "shown as \"$(tr_ 'On-demand Scanner' 'Manuelle Prüfung')\": loaded" \
  'tray state 0'
echo "   tray menu, with the command identifiers:"
show_menu
expect_in_report "$PAUSE_ITEM" "$(tr_ 'Show protection status' 'Schutzstatus anzeigen')" "[25001] $UPDATE_ENTRY"
echo "   the tray's own texts and the samples' come from language \"$SHOWN_LANGUAGE\""

request "Step 1: another process asks the protection plug-in to pause" plugin-comm protection:pause 1
show_report
expect_in_report "state 1 \"$PAUSED\"" 'tray state 1'

request "Step 2: the protection fails (an error the error logger writes down)" plugin-comm protection:fail 2
show_report
expect_in_report "state 2 \"$(tr_ 'Real-time protection stopped unexpectedly' 'Der Echtzeitschutz wurde unerwartet beendet')\"" 'tray state 2'
grep -q "error 9001" "$DEMO/errors.log" || fail "the error logger did not write the error"
echo "   error log: $(tr -d '\r' <"$DEMO/errors.log" | tail -1)"

request "Step 3: protection back to normal" plugin-comm protection:resume 3
show_report
expect_in_report "state 0 \"$(tr_ 'Real-time protection is on' 'Der Echtzeitschutz ist aktiv')\"" 'tray state 0'

request "Step 4: unload the protection plug-in by its library path" unload-plugin "$(winpath "$DEMO/SampleProtection.dll")"
show_report
expect_in_report '"SampleProtection" shown as "": unloaded'
last_report | grep -qF "$PAUSE_ITEM" && fail "the protection plug-in's menu items are still in the menu"
echo "   its menu items are gone; the menu now:"
show_menu

request "Step 5: load it again" load-plugin "$(winpath "$DEMO/SampleProtection.dll")"
show_report
expect_in_report "shown as \"$PROTECTION\": loaded" "$PAUSE_ITEM"

say "Step 5b: a load request for a library no plug-in is registered with: varnelctl says why"
if REFUSAL="$(ctl load-plugin "$(winpath "$DEMO/Unregistered.dll")")"; then fail "a load of an unregistered library was taken"; fi
echo "   varnelctl load-plugin $(winpath "$DEMO/Unregistered.dll"): $REFUSAL"
grep -qF "no plug-in is registered with the library" <<<"$REFUSAL" || fail "varnelctl did not say why: $REFUSAL"

request "Step 6: a scan with a progress dialog, ending with an advisory message" plugin-comm scanner:scan 4
echo "   the scan runs; its message closes by itself after 3 seconds"
sleep 6
request "Step 7: load every registered plug-in (all are loaded: nothing new)" load-all
show_report
expect_in_report "state 0 \"$(tr_ 'Last scan: 5 files, no threats' 'Letzte Prüfung: 5 Dateien, keine Bedrohungen')\""

request "Step 8: a buggy plug-in: the updater is asked to read through a bad pointer" plugin-comm updater:crash 5
show_report
if [ "$SHOWN_LANGUAGE" = de ]; then
  expect_in_report 'funktioniert nicht mehr: PluginActivity hat die Ausnahme 0xC0000005 ausgelöst.' 'tray state 2'
else
  expect_in_report 'stopped working: PluginActivity raised exception 0xC0000005.' 'tray state 2'
fi
last_report | grep -qF "$UPDATE_ENTRY" && fail "the stopped updater's menu entry is still in the menu"
echo "   the host lives on: the updater shows as stopped and its menu entry is gone"

request "Step 9: the other plug-ins keep working: protection pauses" plugin-comm protection:pause 6
show_report
expect_in_report "state 1 \"$PAUSED\""

say "Step 9b: varnelctl report asks the running host what it shows"
REPORT="$(ctl report)" || fail "varnelctl report failed: $REPORT"
grep -E 'plug-in "|tray state' <<<"$REPORT" | sed 's/^/   /'
[ "$(grep -E 'plug-in "|tray state|^  ' <<<"$REPORT")" = "$(last_report | grep -E 'plug-in "|tray state|^    ' | sed 's/^  //')" ] ||
  fail "varnelctl report differs from the host's own last report"
echo "   the same as the host's own report after the last request"

say "The last lines of the state history file"
HISTORY="$(find "$WINEPREFIX/drive_c/users" -name VarnelPluginStateHistory.txt | head -1)"
[ -n "$HISTORY" ] || fail "no state history file"
iconv -f UTF-16LE -t UTF-8 "$HISTORY" | tr -d '\r' | tail -6 | sed 's/^/   /'

request "Step 10: unload every tray host (the proxy Varnel.exe unload)" unload-all
wait_for 20 "stopped"
wait "$HOST_PID" 2>/dev/null || true
echo "   the host unloaded its plug-ins and ended"
"$WINESERVER" -k >/dev/null 2>&1 || true

# ---------------------------------------------------------------- plug-ins that hang or end the process
SETTINGS='HKLM\SOFTWARE\Zerova\Varnel'
CALLS="$(find "$WINEPREFIX/drive_c/users" -path '*Zerova/Varnel/Calls' -type d 2>/dev/null | head -1)"
[ -z "$CALLS" ] || rm -f "$CALLS"/*.calls  # what earlier runs left would count against the samples
reg_add "$SETTINGS" /v QuarantineAfter /t REG_DWORD /d 1 /f
reg_add "$SETTINGS" /v WriteCrashDumps /t REG_DWORD /d 1 /f
say "Step 11: the tray under its supervisor (Varnel.exe --supervise); in this demo one offence puts a plug-in in quarantine (QuarantineAfter = 1; the default is 3 within 24 hours)"
HOST_LOG="$DEMO/supervised.log"
wine_run "$DEMO/Varnel.exe" --supervise --headless --report --log "$(winpath "$HOST_LOG")" >/dev/null 2>&1 &
SUPERVISOR_PID=$!
wait_for 30 "ready"
host_log | grep '^Varnel supervisor' | sed 's/^/   /'

request "Step 12: the updater's server will not answer for 8 seconds" plugin-comm "updater:slow-server 8" 7
say "Step 13: \"$UPDATE_ENTRY\" picked from the tray menu: the updater blocks the tray's thread"
echo "   varnelctl menu-pick 25001: $(ctl menu-pick 25001)"
deadline=$((SECONDS + 15))
until grep -q "does not respond\|reagiert nicht" "$DEMO/errors.log" 2>/dev/null; do
  [ $SECONDS -lt $deadline ] || fail "the hang watch did not report the updater"
  sleep 0.3
done
echo "   while the tray's thread is stuck, the hang watch reported (the error logger's line):"
echo "   $(tr -d '\r' <"$DEMO/errors.log" | grep "does not respond\|reagiert nicht" | tail -1)"
UPDATED="$(tr_ 'Definitions are up to date (update 1)' 'Die Signaturen sind aktuell (Aktualisierung 1)')"
deadline=$((SECONDS + 20))
until REPORT="$(ctl report)" && grep -qF "$UPDATED" <<<"$REPORT"; do
  [ $SECONDS -lt $deadline ] || fail "the updater's state did not come back: $REPORT"
  sleep 0.5
done
echo "   the update returned; the updater's line in the tray now:"
grep -F '"SampleUpdater"' <<<"$REPORT" | sed 's/^ */   /'
HISTORY="$(find "$WINEPREFIX/drive_c/users" -name VarnelPluginStateHistory.txt | head -1)"
iconv -f UTF-16LE -t UTF-8 "$HISTORY" | tr -d '\r' | grep -E "responds again|reagiert wieder|does not respond|reagiert nicht" | tail -2 | sed 's/^/   history: /'
echo "   the hang counts as an offence of the updater: it will be kept out at the tray's next start"

say "Step 14: a scanner bug overflows its stack: the tray process ends, the supervisor starts it again"
echo "   varnelctl plugin-comm scanner:overflow 9: $(ctl plugin-comm scanner:overflow 9)"
wait_for 30 "restart 1 in"
host_log | grep '^Varnel supervisor: the tray ended' | tail -1 | sed 's/^/   /'
deadline=$((SECONDS + 40))
until [ "$(host_log | grep -c '^ready')" -ge 2 ]; do
  [ $SECONDS -lt $deadline ] || fail "the supervisor did not start the tray again"
  sleep 0.3
done
echo "   the tray runs again; what varnelctl quarantine list says:"
QUARANTINE="$(ctl quarantine list)"
sed 's/^/   /' <<<"$QUARANTINE"
grep -qF "quarantined: SampleScanner" <<<"$QUARANTINE" || fail "the scanner is not in quarantine"
grep -qF "quarantined: SampleUpdater" <<<"$QUARANTINE" || fail "the updater is not in quarantine after its hang"
ctl report | grep -qF '"SampleScanner" shown as' && fail "the quarantined scanner was loaded"
DUMPS="$(find "$WINEPREFIX/drive_c/users" -path '*Zerova/Varnel/CrashDumps/process-*.dmp' -newer "$DEMO/host.log" 2>/dev/null | head -1)"
[ -n "$DUMPS" ] || fail "no crash dump of the ended process"
echo "   crash dump for the scanner's vendor: $(basename "$DUMPS") ($(stat -c %s "$DUMPS") bytes)"

say "Step 15: varnelctl quarantine clear: the running tray loads each plug-in at once"
for plugin in SampleScanner SampleUpdater; do
  CLEARED="$(ctl quarantine clear "$plugin")" || fail "the quarantine of $plugin was not lifted: $CLEARED"
  sed 's/^/   /' <<<"$CLEARED"
done
REPORT="$(ctl report)"
grep -E '"Sample(Scanner|Updater)" shown as' <<<"$REPORT" | sed 's/^ */   /'
grep -qF "\"SampleScanner\" shown as \"$(tr_ 'On-demand Scanner' 'Manuelle Prüfung')\": loaded" <<<"$REPORT" ||
  fail "the scanner is not loaded after the quarantine was lifted"
grep -qF "\"SampleUpdater\" shown as \"$(tr_ 'Definition Updater' 'Signaturaktualisierung')\": loaded" <<<"$REPORT" ||
  fail "the updater is not loaded after the quarantine was lifted"

request "Step 16: unload every tray host: the supervised tray ends as asked, and its supervisor with it" unload-all
wait "$SUPERVISOR_PID" 2>/dev/null || true
host_log | grep '^Varnel supervisor' | tail -1 | sed 's/^/   /'
host_log | grep -qF "the tray ended as asked; the supervision ends" || fail "the supervisor did not end with the tray"
wine_run reg delete "$SETTINGS" /v QuarantineAfter /f >/dev/null 2>&1 || true
wine_run reg delete "$SETTINGS" /v WriteCrashDumps /f >/dev/null 2>&1 || true
"$WINESERVER" -k >/dev/null 2>&1 || true

# ---------------------------------------------------------------- screenshots on a virtual display
SHOT_LANGUAGES=(en de)
SHOT_DPIS=(96 144)
SHOT_STATES=(ok warning error)
# The plug-in message that puts the protection sample in each state before anything is shown.
state_message() {
  case "$1" in
    ok) ;;
    warning) echo protection:pause ;;
    error) echo protection:fail ;;
  esac
}

# The screen without the Wine tray window at its top left, cut to what the windows cover, with a
# margin. Wine draws its own tray window there because no desktop shell runs on the virtual display.
capture() {  # capture FILE
  local raw tray crop
  raw="$(mktemp --suffix=.png)"
  xwd -root -silent -display "$DISPLAY" | convert xwd:- "$raw"
  tray="$(xwininfo -root -children -display "$DISPLAY" 2>/dev/null |
          awk '/"Wine System Tray"|"System Tray"/ {for (i = 1; i <= NF; i++) if ($i ~ /^[0-9]+x[0-9]+\+/) {print $i; exit}}')"
  crop=(-fill black)
  if [ -n "$tray" ]; then
    local size="${tray%%+*}" x y
    x="$(cut -d+ -f2 <<<"$tray")"; y="$(cut -d+ -f3 <<<"$tray")"
    crop+=(-draw "rectangle $((x - 4)),$((y - 4)),$((x + ${size%x*} + 4)),$((y + ${size#*x} + 4))")
  fi
  convert "$raw" "${crop[@]}" -trim +repage -bordercolor black -border 12 "$1"
  rm -f "$raw"
}

# Each picture shows the state history of its own run only.
clear_history() { find "$WINEPREFIX/drive_c/users" -name VarnelPluginStateHistory.txt -delete 2>/dev/null || true; }

# One run of the host for one picture: started in the language, with the state's plug-in message,
# showing what is asked; the picture is taken when it stands, then the Wine session ends.
shoot_with_host() {  # shoot_with_host LANGUAGE STATE WAIT-TEXT SECONDS FILE HOST-ARGUMENTS...
  local language="$1" state="$2" wait_text="$3" seconds="$4" file="$5"; shift 5
  local message; message="$(state_message "$state")"
  HOST_LOG="$DEMO/host-shot.log"
  rm -f "$HOST_LOG"
  clear_history
  LC_ALL="$(locale_of "$language")" "$WINE" "$DEMO/Varnel.exe" ${message:+--message "$message"} "$@" \
    --log "$(winpath "$HOST_LOG")" >/dev/null 2>&1 &
  wait_for 30 "$wait_text"
  sleep "$seconds"
  capture "$file"
  echo "   $file"
  end_wine_session
}

# The progress dialog of a scan and the advisory message that ends it.
shoot_scan() {  # shoot_scan LANGUAGE STATE FOLDER
  local language="$1" state="$2" folder="$3"
  local message; message="$(state_message "$state")"
  HOST_LOG="$DEMO/host-shot.log"
  rm -f "$HOST_LOG"
  clear_history
  LC_ALL="$(locale_of "$language")" "$WINE" "$DEMO/Varnel.exe" ${message:+--message "$message"} \
    --log "$(winpath "$HOST_LOG")" >/dev/null 2>&1 &
  wait_for 30 "ready"
  LC_ALL="$(locale_of "$language")" "$WINE" "$DEMO/varnelctl.exe" plugin-comm scanner:scan 1 >/dev/null 2>&1
  sleep 0.5
  capture "$folder/progress-$state.png"
  echo "   $folder/progress-$state.png"
  sleep 3
  capture "$folder/advisory-$state.png"
  echo "   $folder/advisory-$state.png"
  end_wine_session
}

set_dpi() {  # Wine's "LogPixels", read by each program as it starts
  reg_add 'HKCU\Control Panel\Desktop' /v LogPixels /t REG_DWORD /d "$1" /f
  end_wine_session
}

write_screenshot_index() {
  local index="$SHOTS/README.md" language dpi state what
  {
    echo "# Screenshots"
    echo
    echo "Made by \`./run demo --screenshots\` ($ARCH build, Wine $("$WINE" --version 2>/dev/null | sed 's/^wine-//'), Xvfb, no window"
    echo "manager, so windows have no title bars): the tray menu with its first flyout opened from the keyboard,"
    echo "then every dialog of the tray with the sample plug-ins, the protection sample all well (ok), paused"
    echo "(warning) and failed (error), at 96 and 144 DPI, in English and German. The advisory message is the"
    echo "scanner's, which is always of the kind \"info\"; the splash screen does not depend on the state."
    for language in "${SHOT_LANGUAGES[@]}"; do
      for dpi in "${SHOT_DPIS[@]}"; do
        echo
        echo "## $([ "$language" = de ] && echo German || echo English), $dpi DPI"
        echo
        echo "| | all well | warning | error |"
        echo "|---|---|---|---|"
        for what in traymenu health history about progress advisory; do
          printf '| %s |' "$what"
          for state in "${SHOT_STATES[@]}"; do
            printf ' ![%s %s](%s-%sdpi/%s-%s.png) |' "$what" "$state" "$language" "$dpi" "$what" "$state"
          done
          echo
        done
        echo "| splash | ![splash]($language-${dpi}dpi/splash.png) | | |"
      done
    done
  } >"$index"
  echo "   $index"
}

take_screenshots() {
  local display=77 prefix="$ROOT/build/wineprefix-display"
  # A display number nobody else uses on this machine.
  while [ -e "/tmp/.X11-unix/X$display" ] || [ -e "/tmp/.X$display-lock" ]; do display=$((display + 1)); done
  display=":$display"
  local needed=() p
  for p in xvfb x11-apps x11-utils imagemagick; do
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
  Xvfb "$display" -screen 0 1280x1024x24 >/dev/null 2>&1 &
  local xvfb=$!
  sleep 1
  "$WINESERVER" -p >/dev/null 2>&1 </dev/null
  register_samples
  # The progress dialog opens with its details shown.
  reg_add 'HKCU\SOFTWARE\Zerova\Varnel\ProgressDialog' /v ProgressDlg_details /t REG_DWORD /d 1 /f
  local language dpi state folder
  for language in "${SHOT_LANGUAGES[@]}"; do
    for dpi in "${SHOT_DPIS[@]}"; do
      folder="$SHOTS/$language-${dpi}dpi"
      mkdir -p "$folder"
      say "Screenshots in language $language at $dpi DPI on the virtual display $display"
      set_dpi "$dpi"
      for state in "${SHOT_STATES[@]}"; do
        shoot_with_host "$language" "$state" "tray menu shown with flyout" 1 "$folder/traymenu-$state.png" --show traymenu
        shoot_with_host "$language" "$state" "ready" 3 "$folder/health-$state.png" --show health
        shoot_with_host "$language" "$state" "ready" 4 "$folder/history-$state.png" --show history
        shoot_with_host "$language" "$state" "ready" 3 "$folder/about-$state.png" --show about
        shoot_scan "$language" "$state" "$folder"
      done
      reg_add 'HKLM\SOFTWARE\Zerova\Varnel' /v DisplaySplashScreen /t REG_DWORD /d 1 /f
      shoot_with_host "$language" ok "started:" 1 "$folder/splash.png"
      wine_run reg delete 'HKLM\SOFTWARE\Zerova\Varnel' /v DisplaySplashScreen /f >/dev/null 2>&1 || true
    done
  done
  set_dpi 96
  write_screenshot_index
  "$WINESERVER" -k >/dev/null 2>&1 || true
  kill "$xvfb" 2>/dev/null || true
}
if [ -n "$SHOTS" ]; then take_screenshots; fi

say "Demo done: every step did what it should. Host log: $DEMO/host.log"
if [ -n "$SHOTS" ]; then echo "   screenshots: $SHOTS"; fi
