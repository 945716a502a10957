#!/usr/bin/env bash
# Runs a Windows program under 64-bit Wine for ctest. Wine's helper processes (services, devices)
# inherit the output handles of the first program of a session and outlive it; the output goes
# through a file so that ctest does not wait for those helpers to close its pipe.
out="$(mktemp)"
/usr/lib/wine/wine64 "$@" >"$out" 2>&1 </dev/null
rc=$?
cat "$out"
rm -f "$out"
exit $rc
