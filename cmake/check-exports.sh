#!/usr/bin/env bash
# Checks that a built VarnelInterfaceLib.dll exports every plug-in function under its plain name.
# usage: check-exports.sh OBJDUMP DLL
set -euo pipefail
objdump="$1"
dll="$2"
names=(VarnelAddMenuItem VarnelRemoveMenuItem VarnelSetMenuString VarnelGetMenuString VarnelGetMenuItemState
       VarnelCheckMenuItem VarnelEnableMenuItem VarnelDoesMenuItemExist VarnelSetMenuItemID VarnelSetState
       VarnelDisplayAdvisoryMsg VarnelCreateProgressDlg VarnelSetProgress VarnelDestroyProgressDlg
       VarnelPluginCommunication VarnelSetLegacyTrayEXE VarnelOutputError)
table="$("$objdump" -p "$dll")"
missing=0
for name in "${names[@]}"; do
  if ! grep -qE "\] ${name}\$" <<<"$table"; then
    echo "missing or decorated export: $name in $dll"
    missing=1
  fi
done
[ "$missing" -eq 0 ] && echo "all ${#names[@]} plug-in functions exported undecorated by $dll"
exit "$missing"
