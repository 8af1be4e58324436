#!/usr/bin/env bash
# A package that fills the game archive up to its size limit (0x77400000
# bytes) and goes on into the next one, applied three ways from the same
# starting point: by the native vlm-patch, by the 32-bit vlm-patch.exe under
# the 32-bit Wine, and by the 32-bit launcher under Wine fetching it from
# nginx as a numbered patch. Prints each one's time and checks that all three
# leave byte-identical archives and index.
#
# The starting archive is sparse (bench/rollover_setup.cpp), so only what
# the package adds is written. Where the kernel cannot run 32-bit programs,
# the Wine legs go through qemu-user in a namespace of their own
# (tools/with-qemu-i386.sh, as root); the output says which.
#
# Needs the Linux and Windows trees built (cmake --build --preset linux;
# cmake --build --preset windows) and about 1.5 GiB free in DIR.
# Usage: bench/rollover_bench.sh [--dir DIR] [--room BYTES] [--keep]
set -euo pipefail
cd "$(dirname "$0")/.."
top=$PWD

dir=/tmp
room=$((160 * 1024 * 1024))
keep=0
while [ $# -gt 0 ]; do
  case $1 in
    --dir) dir=$2; shift 2 ;;
    --room) room=$2; shift 2 ;;
    --keep) keep=1; shift ;;
    *) echo "usage: bench/rollover_bench.sh [--dir DIR] [--room BYTES] [--keep]" >&2; exit 2 ;;
  esac
done

linux=$top/build/linux
windows=$top/build/windows
for needed in "$linux/bench/rollover_setup" "$linux/bin/vlm-patch" "$windows/bin/vlm-patch.exe" \
              "$windows/bin/Start VLM.exe" "$windows/bin/unrar.dll" "$windows/tests/ui/client_standin.exe"; do
  [ -e "$needed" ] || { echo "rollover_bench: $needed is missing; build the linux and windows trees" >&2; exit 1; }
done

run=$(mktemp -d "$dir/vlm-rollover.XXXXXX")
chmod 755 "$run"  # nginx's workers read the server directory as another user
nginx_pid=
cleanup() {
  [ -n "$nginx_pid" ] && kill "$nginx_pid" 2>/dev/null || true
  if [ "$keep" = 1 ]; then echo "kept: $run"; else rm -rf "$run"; fi
}
trap cleanup EXIT

export VLM_WINEPREFIX=${VLM_WINEPREFIX:-$top/build/wine32}
# The Wine prefix the launcher's window runs in, as the tests' (a prefix is
# bound to the screen of its first window).
display_prefix=$windows/wine-display
ns=()
how="natively"
if ! /usr/lib/wine/wine --version >/dev/null 2>&1; then
  if [ "$(id -u)" -eq 0 ] && tools/with-qemu-i386.sh --check; then
    ns=("$top/tools/with-qemu-i386.sh")
    how="through qemu-user (this kernel runs no 32-bit programs)"
  else
    echo "rollover_bench: 32-bit programs cannot run here, nor through qemu-user" >&2
    exit 1
  fi
fi

seconds() { date +%s.%N; }
elapsed() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", b - a }'; }
copy_base() { cp -r --sparse=always "$run/base" "$1"; }
winpath() { echo "Z:${1//\//\\}"; }

echo "=== the starting point"
"$linux/bench/rollover_setup" "$run" --room "$room" | tee "$run/setup.txt"

echo "=== native vlm-patch apply"
copy_base "$run/native"
start=$(seconds)
"$linux/bin/vlm-patch" apply "$run/native" "$run/package.dat" >/dev/null
native_time=$(elapsed "$start" "$(seconds)")

echo "=== 32-bit vlm-patch.exe apply under the 32-bit Wine, $how"
copy_base "$run/tool32"
# Wine's prefixes are made (once) outside the timings.
"${ns[@]}" tools/wine-run.sh "$windows/bin/vlm-patch.exe" --help >/dev/null 2>&1 || true
WINEPREFIX=$display_prefix "${ns[@]}" tools/wine-run.sh "$windows/bin/vlm-patch.exe" --help >/dev/null 2>&1 || true
start=$(seconds)
"${ns[@]}" tools/wine-run.sh "$windows/bin/vlm-patch.exe" apply "$(winpath "$run/tool32")" "$(winpath "$run/package.dat")" >/dev/null
tool32_time=$(elapsed "$start" "$(seconds)")

echo "=== the 32-bit launcher under the 32-bit Wine, $how, fetching it from nginx"
server=$run/server/vlm/patch
mkdir -p "$server" "$run/nginx"
"$linux/bin/vlm-patch" server init "$server" --latest "$(awk '/^base:/ { print $NF }' "$run/setup.txt")" >/dev/null
"$linux/bin/vlm-patch" publish "$server" "$run/package.dat" >/dev/null
copy_base "$run/launcher32"
cp "$windows/bin/Start VLM.exe" "$windows/bin/unrar.dll" "$run/launcher32/"
cp "$windows/tests/ui/client_standin.exe" "$run/launcher32/Kelda.exe"
printf '\000\000\000\000\000\000\000\000' >"$run/launcher32/cver.v"
port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
sed -e "s|@PORT@|$port|" -e "s|@ROOT@|$run/server|" -e "s|@PREFIX@|$run/nginx|" -e "s|daemon on;|daemon off;|" \
    tools/demo-nginx.conf >"$run/nginx/nginx.conf"
nginx -p "$run/nginx" -c "$run/nginx/nginx.conf" &
nginx_pid=$!
for _ in $(seq 50); do curl -fs "http://127.0.0.1:$port/vlm/patch/patch.hpl" -o /dev/null && break; sleep 0.1; done
start=$(seconds)
(cd "$run/launcher32" &&
  VLM_PATCH_BASE_URL="http://127.0.0.1:$port/vlm/patch" WINEPREFIX=$display_prefix \
    timeout 600 "${ns[@]}" "$top/tests/ui/with_xvfb.sh" "$top/tools/wine-run.sh" "Start VLM.exe" >"$run/trace.txt" 2>&1) ||
  true
launcher_time=$(elapsed "$start" "$(seconds)")
grep -q "101.rar Extracted successfully" "$run/trace.txt" || { echo "the launcher did not apply the patch:" >&2; tail -n 20 "$run/trace.txt" >&2; exit 1; }

echo "=== the three results"
expected=$(awk '/^expect:/ { print $3, $5 }' "$run/setup.txt")
status=0
for result in native tool32 launcher32; do
  sizes="$(stat -c %s "$run/$result/GAME0.VFS") $(stat -c %s "$run/$result/GAME1.VFS" 2>/dev/null || echo none)"
  [ "$sizes" = "$expected" ] || { echo "$result: archive sizes $sizes, expected $expected"; status=1; }
done
for result in tool32 launcher32; do
  for file in data.idx GAME0.VFS GAME1.VFS; do
    cmp -s "$run/native/$file" "$run/$result/$file" || { echo "$result: $file differs from the native one"; status=1; }
  done
done
[ "$status" = 0 ] && echo "all three equal: data.idx, GAME0.VFS (at the limit), GAME1.VFS"
"$linux/bin/vlm-patch" index check "$run/native" | tail -n 1

mib=$(awk '/^package:/ { printf "%.0f", $6 / 1048576 }' "$run/setup.txt")
echo
echo "| applied by | seconds | MiB/s |"
echo "|---|---|---|"
for row in "native vlm-patch:$native_time" "32-bit vlm-patch.exe, Wine $how:$tool32_time" \
           "32-bit launcher, Wine $how (download, extraction, start):$launcher_time"; do
  awk -v name="${row%%:*}" -v t="${row##*:}" -v mib="$mib" 'BEGIN { printf "| %s | %s | %.0f |\n", name, t, mib / t }'
done
exit "$status"
