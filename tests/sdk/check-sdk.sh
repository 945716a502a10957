#!/usr/bin/env bash
# The plug-in SDK of one architecture as an author gets it: installed from this build into a fresh
# folder outside the source and build trees, then one step of checks:
#   headers    every SDK header compiles as the only include of a translation unit as C89, C99, C++98
#              and C++17 (-pedantic, warnings are errors), a C++ caller passes string literals, and
#              the C template compiles as C89
#   libraries  the .def names exactly the functions the header declares, the DLL exports each one
#              undecorated, the MinGW import library and VarnelInterfaceLib.lib import each from
#              VarnelInterfaceLib.dll, and an MSVC-style linker (lld-link) links an MSVC-style object
#              against the .lib
#   templates  both template plug-ins configured and built from the SDK folder alone with fresh CMake
#              build folders and the SDK's toolchain file (a build for the other architecture refuses
#              the SDK), importing nothing but system DLLs and VarnelInterfaceLib.dll, and each loaded
#              and unloaded cleanly by the tray host (varnelctl check-plugin, a dry run in a Varnel.exe
#              of its own)
# usage: check-sdk.sh STEP ARCH BUILD_DIR CMAKE
set -euo pipefail

step="$1"
arch="$2"
build="$(cd "$3" && pwd)"
cmake="$4"
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
root="$(cd "$here/../.." && pwd)"

case "$arch" in
  x86_64) triple=x86_64-w64-mingw32; loader=/usr/lib/wine/wine64; machine=x64; symbol_prefix="" ;;
  i686) triple=i686-w64-mingw32; loader=/usr/lib/wine/wine; machine=x86; symbol_prefix="_" ;;
  *) echo "check-sdk.sh: unknown architecture $arch" >&2; exit 2 ;;
esac

work="$(mktemp -d "${TMPDIR:-/tmp}/varnel-sdk-$arch-$step.XXXXXX")"
trap '[ -n "${VARNEL_KEEP_SDK_CHECK:-}" ] || rm -rf "$work"' EXIT
sdk="$work/sdk"
failures=0

fail() { echo "FAILED: $*"; failures=$((failures + 1)); }
tool() { command -v "$1" 2>/dev/null || command -v "$1-14" 2>/dev/null || true; }

"$cmake" --install "$build" --component sdk --prefix "$sdk" >"$work/install.log" 2>&1 ||
  { cat "$work/install.log"; echo "FAILED: the SDK could not be installed from $build"; exit 1; }

# ---------------------------------------------------------------- headers
check_headers() {
  local headers=("$sdk"/include/*.h) header name std
  [ "${#headers[@]}" -ge 3 ] || fail "the SDK's include folder holds ${#headers[@]} headers"
  for header in "${headers[@]}"; do
    name="$(basename "$header")"
    # A header that only defines macros would leave a C translation unit empty, which -pedantic refuses.
    printf '#include "%s"\ntypedef int header_compiled_alone;\n' "$name" >"$work/alone.c"
    cp "$work/alone.c" "$work/alone.cpp"
    for std in c89 c99; do
      "$triple-gcc-posix" -std="$std" -pedantic -Wall -Wextra -Werror -fsyntax-only -I"$sdk/include" "$work/alone.c" \
        >"$work/compile.log" 2>&1 || { cat "$work/compile.log"; fail "$name does not compile alone as $std"; }
    done
    for std in c++98 c++17; do
      "$triple-g++-posix" -std="$std" -pedantic -Wall -Wextra -Werror -fsyntax-only -I"$sdk/include" "$work/alone.cpp" \
        >"$work/compile.log" 2>&1 || { cat "$work/compile.log"; fail "$name does not compile alone as $std"; }
    done
  done
  # Texts the library only reads take string literals in C++ (a literal is const there).
  cat >"$work/literals.cpp" <<'EOF'
#include "VarnelPluginAPI.h"
void Calls(void* handle, CProgressDlg* dialog)
{
    VarnelAddMenuItem(handle, L"caption", 1, VARNEL_MENU_CATEGORY_A);
    VarnelSetMenuString(handle, 1, L"caption");
    VarnelDisplayAdvisoryMsg(handle, L"", GetDesktopWindow(), L"title", L"text", ADVISORY_MSG_INFO,
                             ADVISORY_MSG_BUTTONS_OK, false, 0, false);
    VarnelCreateProgressDlg(handle, 0, L"title", PROGRESS_BAR_DLG_CANCEL, 0, 0, 0);
    VarnelSetProgress(dialog, L"status", L"detail", 50);
    VarnelPluginCommunication(handle, L"text", 1);
    VarnelSetLegacyTrayEXE(handle, L"C:\\program.exe", L"", true);
    VarnelOutputError(9000, L"text");
}
EOF
  "$triple-g++-posix" -std=c++17 -pedantic -Wall -Wextra -Werror -fsyntax-only -I"$sdk/include" "$work/literals.cpp" \
    >"$work/compile.log" 2>&1 ||
    { cat "$work/compile.log"; fail "a read-only text parameter refuses a string literal"; }
  # The C template keeps to C89, as its header does.
  "$triple-gcc-posix" -std=c89 -pedantic -Wall -Wextra -Werror -fsyntax-only -I"$sdk/include" \
    "$sdk/template/c/TemplatePlugin.c" >"$work/compile.log" 2>&1 ||
    { cat "$work/compile.log"; fail "the C template does not compile as C89"; }
  echo "headers: ${#headers[@]} compiled alone as C89, C99, C++98 and C++17; the C template as C89"
}

# ---------------------------------------------------------------- libraries
check_libraries() {
  local def="$sdk/lib/VarnelInterfaceLib.def" gnu="$sdk/lib/libVarnelInterfaceLib.dll.a"
  local msvc="$sdk/lib/VarnelInterfaceLib.lib" dll="$build/bin/VarnelInterfaceLib.dll" name
  local llvm_nm lld_link clang
  llvm_nm="$(tool llvm-nm)"; lld_link="$(tool lld-link)"; clang="$(tool clang)"
  for file in "$def" "$gnu" "$msvc"; do [ -f "$file" ] || fail "the SDK lacks lib/$(basename "$file")"; done
  [ "$failures" -eq 0 ] || return 0
  sed -n 's/^ *\(Varnel[A-Za-z]*\) *$/\1/p' "$def" | sort >"$work/def.txt"
  grep -o 'VARNEL_CALL Varnel[A-Za-z]*(' "$sdk/include/VarnelPluginAPI.h" | sed 's/VARNEL_CALL \(.*\)(/\1/' |
    sort >"$work/declared.txt"
  diff "$work/declared.txt" "$work/def.txt" >"$work/diff.txt" ||
    { cat "$work/diff.txt"; fail "the .def and VarnelPluginAPI.h name different functions"; }
  [ "$(wc -l <"$work/def.txt")" -eq 17 ] || fail "the .def names $(wc -l <"$work/def.txt") functions, not 17"
  "$triple-objdump" -p "$dll" >"$work/exports.txt"
  "$triple-nm" "$gnu" >"$work/gnu.txt"
  [ -n "$llvm_nm" ] && "$llvm_nm" "$msvc" >"$work/msvc.txt" || fail "llvm-nm is missing"
  while read -r name; do
    grep -qE "\] ${name}\$" "$work/exports.txt" || fail "VarnelInterfaceLib.dll does not export $name undecorated"
    grep -qE " I __imp_${symbol_prefix}${name}\$" "$work/gnu.txt" ||
      fail "libVarnelInterfaceLib.dll.a does not import $name"
    grep -qE " T __imp_${symbol_prefix}${name}\$" "$work/msvc.txt" ||
      fail "VarnelInterfaceLib.lib does not import $name"
  done <"$work/def.txt"
  # An object made as MSVC makes it, linked by an MSVC-style linker against the .lib alone.
  if [ -z "$clang" ] || [ -z "$lld_link" ]; then
    fail "clang or lld-link is missing: the .lib cannot be linked here"
  else
    "$clang" --target="$arch-pc-windows-msvc" -c "$here/LinkerProbe.c" -o "$work/probe.obj"
    "$lld_link" /dll /noentry /nodefaultlib /machine:"$machine" /out:"$work/probe.dll" "$work/probe.obj" "$msvc" \
      >"$work/link.log" 2>&1 || { cat "$work/link.log"; fail "lld-link could not link against VarnelInterfaceLib.lib"; }
    "$triple-objdump" -p "$work/probe.dll" >"$work/probe.txt" 2>&1 || true
    grep -q "DLL Name: VarnelInterfaceLib.dll" "$work/probe.txt" && grep -qE " VarnelOutputError\$" "$work/probe.txt" &&
      grep -qE " VarnelAddMenuItem\$" "$work/probe.txt" ||
      { cat "$work/probe.txt"; fail "the DLL linked with VarnelInterfaceLib.lib does not import the plain names"; }
  fi
  echo "libraries: $(wc -l <"$work/def.txt") functions in the .def, the DLL and both import libraries;" \
       "lld-link linked the .lib"
}

# ---------------------------------------------------------------- templates
# System DLLs a plug-in may import besides the tray's own.
system='kernel32|user32|gdi32|advapi32|shell32|ole32|oleaut32|comctl32|comdlg32|shlwapi|msvcrt|ntdll|version|ws2_32'
allowed="^($system|VarnelInterfaceLib)\\.dll\$"

build_template() {
  local source="$1" folder="$2" package_dir="$3"
  "$cmake" -S "$source" -B "$folder" -DCMAKE_TOOLCHAIN_FILE="$sdk/cmake/mingw-$arch.cmake" \
    -DCMAKE_BUILD_TYPE=Release ${package_dir:+-DVarnelPluginSDK_DIR="$package_dir"} >"$folder.log" 2>&1 &&
    "$cmake" --build "$folder" -j1 >>"$folder.log" 2>&1 || { cat "$folder.log"; return 1; }
}

check_imports() {
  local dll="$1" name imports=()
  "$triple-objdump" -p "$dll" >"$work/imports.txt"
  while read -r name; do
    imports+=("$name")
    grep -qiE "$allowed" <<<"$name" || fail "$(basename "$dll") needs $name, which is no system DLL"
  done < <(sed -n 's/^\tDLL Name: //p' "$work/imports.txt")
  printf '%s\n' "${imports[@]}" | grep -qx 'VarnelInterfaceLib.dll' ||
    fail "$(basename "$dll") does not import VarnelInterfaceLib.dll"
  echo "$(basename "$dll") imports: ${imports[*]}"
}

# The tray host's dry run of the plug-in: it must load, add its item and unload cleanly.
check_in_host() {
  local dll="$1" display="$2" windows_path out rc=0
  out="$work/check-$(basename "$dll")"
  windows_path="Z:${dll//\//\\}"
  "$loader" "$build/bin/varnelctl.exe" check-plugin "$windows_path" >"$out" 2>&1 </dev/null || rc=$?
  tr -d '\r' <"$out" >"$out.txt"
  local expected
  for expected in "verdict: the plug-in loads and unloads cleanly in this tray host (exit code 0)" \
                  "VarnelInterfaceLib.dll loaded by the tray host; all found" \
                  "display name \"$display\"" \
                  "menu items: \"Pause the template\" (item 1)" \
                  "PluginCleanup called; library freed"; do
    if ! grep -qF "$expected" "$out.txt"; then
      cat "$out.txt"
      fail "check-plugin of $(basename "$dll"): no \"$expected\""
      return 0
    fi
  done
  [ "$rc" -eq 0 ] || fail "check-plugin of $(basename "$dll") ended with $rc"
  echo "$(basename "$dll"): $(grep -F 'verdict:' "$out.txt")"
}

check_templates() {
  [ -x "$loader" ] || { echo "FAILED: $loader is missing: the $arch tray host cannot run here"; exit 1; }
  # The C template where the SDK put it, which finds the package beside it; the C++ one copied
  # elsewhere and told where the package is.
  build_template "$sdk/template/c" "$work/build-c" "" || fail "the C template did not build from the SDK"
  mkdir -p "$work/author"
  cp -r "$sdk/template/cpp" "$work/author/cpp"
  build_template "$work/author/cpp" "$work/build-cpp" "$sdk/cmake/VarnelPluginSDK" ||
    fail "the C++ template did not build from the SDK"
  [ "$failures" -eq 0 ] || return 0
  # Nothing of the source or build tree went into the templates' builds.
  if grep -rlF "$root" "$work/build-c" "$work/build-cpp" >"$work/leaks.txt" 2>/dev/null; then
    fail "the template builds name the project's tree: $(tr '\n' ' ' <"$work/leaks.txt")"
  fi
  # An SDK folder of the other architecture is refused by the package's version file.
  local other=i686
  [ "$arch" = i686 ] && other=x86_64
  if "$cmake" -S "$sdk/template/c" -B "$work/build-other" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-$other.cmake" \
       >"$work/build-other.log" 2>&1; then
    fail "the $arch SDK was accepted by a $other build"
  elif ! grep -q "VarnelPluginSDKConfig.cmake, version: 2.2 (.*bit): the $arch SDK; this build needs the SDK folder" "$work/build-other.log"; then
    cat "$work/build-other.log"; fail "the $other build's refusal of the $arch SDK does not name its architecture"
  fi
  local c_dll="$work/build-c/TemplatePluginC.dll" cxx_dll="$work/build-cpp/TemplatePluginCxx.dll"
  check_imports "$c_dll"
  check_imports "$cxx_dll"
  check_in_host "$c_dll" "Template Plug-in (C)"
  check_in_host "$cxx_dll" "Template Plug-in (C++)"
}

case "$step" in
  headers) check_headers ;;
  libraries) check_libraries ;;
  templates) check_templates ;;
  *) echo "check-sdk.sh: unknown step $step" >&2; exit 2 ;;
esac

if [ "$failures" -ne 0 ]; then echo "$step of the $arch SDK: $failures failed"; exit 1; fi
echo "$step of the $arch SDK: passed"
