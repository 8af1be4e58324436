#!/usr/bin/env bash
# Builds every tree and runs every test: Linux native, Linux with ASan and
# UBSan, the players' 32-bit Windows build under the 32-bit Wine (through
# qemu-user where the kernel cannot run 32-bit programs itself; a 64-bit
# build under wine64 only where neither works), and the players' release
# build, whose zip is checked. Installs what it needs first.
# Usage: tools/test.sh            (all four trees)
#        VLM_TREES="linux" tools/test.sh
set -euo pipefail
cd "$(dirname "$0")/.."

# Root only when something is missing: the check itself needs no rights.
if ! bash tools/install-deps.sh --check >/dev/null; then
  if [ "$(id -u)" -eq 0 ]; then bash tools/install-deps.sh; else sudo bash tools/install-deps.sh; fi
fi

trees=${VLM_TREES:-"linux linux-asan windows release"}
export VLM_WINEPREFIX=${VLM_WINEPREFIX:-$PWD/build/wine32}
export VLM_WINE64PREFIX=${VLM_WINE64PREFIX:-$PWD/build/wine64}
# Every nginx the tests start inherits this mark, so that the cleanup below
# stops the servers of this run and never those of another one.
export VLM_TEST_RUN="test.sh-$$-$(date +%s%N)"

# The nginx servers of this run that are still up: the test harness
# (tests/support/nginx_server.cpp) writes each one's pid into
# vlm-nginx-*/nginx.pid under the temporary directory, /tmp for the Windows
# tests (Wine's Z:\tmp). A test stops its own; one that crashed leaves it.
stop_leftover_nginx() {
  local file pid
  local -A seen=()
  shopt -s nullglob
  for file in "${TMPDIR:-/tmp}"/vlm-nginx-*/nginx.pid /tmp/vlm-nginx-*/nginx.pid; do
    pid=$(head -c 16 "$file" 2>/dev/null | tr -dc '0-9' || true)
    [ -n "$pid" ] && [ -z "${seen[$pid]:-}" ] || continue
    seen[$pid]=1
    # A stale file's number may belong to another process by now.
    tr '\0' '\n' 2>/dev/null <"/proc/$pid/environ" | grep -qxF "VLM_TEST_RUN=$VLM_TEST_RUN" || continue
    echo "stopping nginx $pid, left behind by a test in $(dirname "$file")"
    # A test may have paused it (SIGSTOP): it takes the TERM once continued.
    kill -CONT "$pid" 2>/dev/null || true
    kill -TERM "$pid" 2>/dev/null || true
    for _ in 1 2 3 4 5 6 7 8 9 10; do
      kill -0 "$pid" 2>/dev/null || break
      sleep 0.2
    done
    if kill -0 "$pid" 2>/dev/null; then kill -KILL "$pid" 2>/dev/null || true; fi
  done
  shopt -u nullglob
}

# Whatever happens, leave no Wine server and no test's nginx behind us.
cleanup() {
  WINEPREFIX=$VLM_WINEPREFIX wineserver -k >/dev/null 2>&1 || true
  WINEPREFIX=$VLM_WINE64PREFIX wineserver -k >/dev/null 2>&1 || true
  stop_leftover_nginx
}
trap cleanup EXIT

# Wine runs the 32-bit Windows tests with the i386 loader of the wine32
# package; a kernel (or sandbox) without 32-bit program support refuses it
# with "Exec format error". There the loader runs through qemu-user, in a
# namespace of the tests' own (tools/with-qemu-i386.sh), never registered for
# the whole machine. Where that cannot work either, the Windows tree is
# still built (it must compile warning-free) and its native tests (the zip)
# run, and the same sources built for x86_64 (the windows64 tree) run every
# Windows test under wine64 in its place.
can_run_wine32() { /usr/lib/wine/wine --version >/dev/null 2>&1; }
wine32=native
stand_in=
if [[ " $trees " == *" windows "* ]] && ! can_run_wine32; then
  refused=$(/usr/lib/wine/wine --version 2>&1 | head -n 1 | sed 's/^.*line [0-9]*: //' || true)
  if [ "$(id -u)" -eq 0 ] && tools/with-qemu-i386.sh --check; then
    wine32=qemu
  else
    wine32=none
    stand_in="32-bit programs cannot run here ($refused), nor through qemu-user in a namespace of their own"
    [[ " $trees " == *" windows64 "* ]] || trees="$trees windows64"
  fi
fi

# The players' build, with settings of the shape an operator gives: it must
# build from the preset alone, and its zip must hold nothing of a test build.
release_settings=(-DVLM_PATCH_HOST=patch.example.invalid -DVLM_GAME_SERVER=192.0.2.1
  -DVLM_TRUSTED_KEYS=5e2ad9fc4108614a722ed46addc2fef0bdb989c526362c19dd47561372192659ed3559a7c722ba00da2f0817fcb0ce86f2529e7ee9854524bf3b1f52f4e0a524)

for tree in $trees; do
  echo "=== build: $tree"
  start=$SECONDS
  if [ "$tree" = release ]; then
    cmake --preset release "${release_settings[@]}" >/dev/null
  else
    cmake --preset "$tree" >/dev/null
  fi
  cmake --build --preset "$tree" -j2
  echo "=== build: $tree took $((SECONDS - start)) s"
done

status=0
for tree in $trees; do
  start=$SECONDS
  if [ "$tree" = release ]; then
    echo "=== test: release: the players' zip"
    bash tests/tools/package_test.sh build/release windows release || status=1
  elif [ "$tree" = windows ] && [ "$wine32" = qemu ]; then
    echo "=== test: windows: the 32-bit build under the 32-bit Wine, through qemu-user (qemu-i386 in a namespace"
    echo "    of the tests' own: this kernel cannot run 32-bit programs itself: $refused)"
    tools/with-qemu-i386.sh ctest --preset "$tree" || status=1
  elif [ "$tree" = windows ] && [ -n "$stand_in" ]; then
    echo "=== test: windows, native tests only: the 32-bit Windows tests are NOT RUN under Wine:"
    echo "    $stand_in; windows64 runs them as a 64-bit stand-in."
    ctest --preset "$tree" -LE wine || status=1
  elif [ "$tree" = windows64 ] && [ -n "$stand_in" ]; then
    echo "=== test: windows64: the Windows tests under wine64, a 64-bit stand-in for the 32-bit build"
    ctest --preset "$tree" || status=1
  elif [ "$tree" = windows ]; then
    echo "=== test: windows: the 32-bit build under the 32-bit Wine"
    ctest --preset "$tree" || status=1
  else
    echo "=== test: $tree"
    ctest --preset "$tree" || status=1
  fi
  echo "=== test: $tree took $((SECONDS - start)) s"
done
case "$wine32" in
  native) [[ " $trees " == *" windows "* ]] && echo "NOTE: the 32-bit Windows build ran its tests under the 32-bit Wine." ;;
  qemu) echo "NOTE: the 32-bit Windows build ran its tests under the 32-bit Wine through qemu-user ($refused)." ;;
  none)
    echo "NOTE: the Windows tests under Wine ran on the 64-bit (x86_64) build under wine64, standing in"
    echo "      for the players' 32-bit build, which was built but not run: $stand_in."
    ;;
esac
exit $status
