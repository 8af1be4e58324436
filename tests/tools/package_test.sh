#!/usr/bin/env bash
# The release artefacts of one build tree: makes them with CPack into a
# temporary directory, opens them and checks what a player or an operator
# gets. Usage: package_test.sh BUILD_DIR windows|linux [release]
# "release": the players' build (the release preset): nothing a test build
# has may be in it, neither in the artefact's name nor in its programs.
set -euo pipefail
build=$1
target=$2
release=${3:-}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

cpack --config "$build/CPackConfig.cmake" -B "$work/out" >"$work/cpack.log" 2>&1 || { cat "$work/cpack.log"; exit 1; }
fail() { echo "FAIL: $*"; exit 1; }

if [ "$target" = windows ]; then
  zip=$(ls "$work"/out/*.zip 2>/dev/null | head -n 1)
  [ -n "$zip" ] || fail "no zip was made"
  mkdir "$work/x"
  python3 -c 'import sys, zipfile; zipfile.ZipFile(sys.argv[1]).extractall(sys.argv[2])' "$zip" "$work/x"
  top=$(ls "$work/x")
  names=$(cd "$work/x/$top" && ls | sort | tr '\n' '|')
  [ "$names" = "KeUpdate.exe|README.txt|Start VLM.exe|vlm-patch.exe|" ] || fail "zip holds: $names"
  grep -q "unrar.dll" "$work/x/$top/README.txt" || fail "the read-me does not name unrar.dll"
  grep -q "Kelda.exe" "$work/x/$top/README.txt" || fail "the read-me does not name Kelda.exe"
  grep -q "vlm-patch.exe" "$work/x/$top/README.txt" || fail "the read-me does not name vlm-patch.exe"
  # 32-bit GUI programs that need nothing beyond what every Windows has.
  system_dlls="kernel32.dll user32.dll gdi32.dll msimg32.dll urlmon.dll wininet.dll ole32.dll advapi32.dll
               bcrypt.dll msvcrt.dll shell32.dll"
  for exe in "Start VLM.exe" KeUpdate.exe; do
    dump=$(i686-w64-mingw32-objdump -p "$work/x/$top/$exe")
    grep -q "file format pei-i386" <<<"$dump" || fail "$exe is not an i386 PE file"
    grep -q "Subsystem.*(Windows GUI)" <<<"$dump" || fail "$exe is not a GUI program"
    for dll in $(grep "DLL Name:" <<<"$dump" | awk '{print tolower($3)}'); do
      grep -qw "$dll" <<<"$system_dlls" || fail "$exe imports $dll, which is not a system library"
    done
    echo "$exe: i386, GUI, imports $(grep "DLL Name:" <<<"$dump" | awk '{print $3}' | tr '\n' ' ')"
  done
  # The operator's tool: a console program, with the same imports.
  dump=$(i686-w64-mingw32-objdump -p "$work/x/$top/vlm-patch.exe")
  grep -q "file format pei-i386" <<<"$dump" || fail "vlm-patch.exe is not an i386 PE file"
  grep -q "Subsystem.*(Windows CUI)" <<<"$dump" || fail "vlm-patch.exe is not a console program"
  for dll in $(grep "DLL Name:" <<<"$dump" | awk '{print tolower($3)}'); do
    grep -qw "$dll" <<<"$system_dlls" || fail "vlm-patch.exe imports $dll, which is not a system library"
  done
  # Stripped: no symbol table and no debugging sections.
  for exe in "Start VLM.exe" KeUpdate.exe vlm-patch.exe; do
    symbols=$(i686-w64-mingw32-objdump -t "$work/x/$top/$exe")
    sections=$(i686-w64-mingw32-objdump -h "$work/x/$top/$exe")
    grep -q "no symbols" <<<"$symbols" || fail "$exe carries symbols"
    ! grep -q "\.debug" <<<"$sections" || fail "$exe carries debugging sections"
  done
else
  tarball=$(ls "$work"/out/*.tar.gz 2>/dev/null | head -n 1)
  [ -n "$tarball" ] || fail "no tarball was made"
  mkdir "$work/x"
  tar -xzf "$tarball" -C "$work/x"
  top=$(ls "$work/x")
  names=$(cd "$work/x/$top" && ls | sort | tr '\n' '|')
  [ "$names" = "KeUpdate|README.txt|start-vlm|vlm-patch|vlm-rar-reader|" ] || fail "tarball holds: $names"
  for exe in start-vlm KeUpdate vlm-patch vlm-rar-reader; do
    [ -x "$work/x/$top/$exe" ] || fail "$exe is not executable"
    [ "$(head -c 4 "$work/x/$top/$exe" | od -An -c | tr -d ' ')" = "177ELF" ] || fail "$exe is not an ELF program"
    # Stripped: no symbol table and no debugging sections.
    sections=$(readelf -S "$work/x/$top/$exe")
    ! grep -qE "\.symtab|\.debug" <<<"$sections" || fail "$exe is not stripped"
  done
  "$work/x/$top/vlm-patch" --help | grep -q "publish" || fail "vlm-patch --help does not list its commands"
fi
if [ "$release" = release ]; then
  artefact=$( (ls "$work"/out/*.zip "$work"/out/*.tar.gz 2>/dev/null || true) | head -n 1)
  case "$artefact" in *test-hooks*) fail "the players' artefact is named as a test build's: $artefact" ;; esac
  # The names a test build reads from the environment (platform/test_hooks.h):
  # a program that holds one may let a user redirect the elevated launcher.
  for exe in "$work"/x/"$top"/*; do
    [ -f "$exe" ] && [ "${exe##*.}" != txt ] || continue
    found=$(strings -a "$exe" | grep -oE 'VLM_PATCH_BASE_URL|VLM_TEST_DISPLAY|VLM_TEST_TRUSTED_KEYS|VLM_CRASH_AT_POINT' |
            sort -u | tr '\n' ' ' || true)
    [ -z "$found" ] || fail "$(basename "$exe") holds the test builds' names: $found"
  done
  echo "no test build's names in $(basename "$artefact")"
fi
echo "package of the $target tree: ok"
