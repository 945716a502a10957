#!/usr/bin/env bash
# Runs a Windows program under Wine for ctest: wine-run.sh ARCH PROGRAM [ARGUMENTS...], ARCH x86_64
# (the 64-bit loader) or i686 (the 32-bit loader, in the same prefix). Wine's helper processes
# (services, devices) inherit the output handles of the first program of a session and outlive it;
# the output goes through a file so that ctest does not wait for those helpers to close its pipe.
arch="$1"; shift
case "$arch" in
  x86_64) loader=/usr/lib/wine/wine64 ;;
  i686) loader=/usr/lib/wine/wine ;;
  *) echo "wine-run.sh: unknown architecture $arch" >&2; exit 2 ;;
esac
if [ ! -x "$loader" ]; then
  echo "wine-run.sh: $loader is missing: the $arch programs cannot run on this machine" >&2
  exit 1
fi
out="$(mktemp)"
"$loader" "$@" >"$out" 2>&1 </dev/null
rc=$?
cat "$out"
rm -f "$out"
exit $rc
