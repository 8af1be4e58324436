#!/usr/bin/env bash
# The patch server configuration we document and the demo uses, checked
# against a real nginx: the patch list, the signed records and the blocks are
# never cached, numbered patches and repair set files are cached for good, executables of both
# platforms are revalidated, hidden files (publishing in progress, the
# tool's own) are never served, and every answer carries the file's exact
# length.
set -euo pipefail
source_dir=$1
work=$(mktemp -d)
chmod 755 "$work"  # nginx workers run as an unprivileged user
trap '[ -f "$work/nginx/nginx.pid" ] && kill "$(cat "$work/nginx/nginx.pid")" 2>/dev/null; rm -rf "$work"' EXIT
mkdir -p "$work/nginx" "$work/server/vlm/patch"
patches=$work/server/vlm/patch
printf '\003\000\000\000\001\000\000\000\001\000\000\000\001\000\000\000\001\000\000\000' > "$patches/patch.hpl"
head -c 5000 /dev/urandom > "$patches/3.rar"
head -c 777 /dev/urandom > "$patches/Kelda.exe"
head -c 778 /dev/urandom > "$patches/Start VLM.exe"
head -c 779 /dev/urandom > "$patches/Kelda"
head -c 780 /dev/urandom > "$patches/start-vlm"
head -c 300 /dev/urandom > "$patches/release.rec"
head -c 301 /dev/urandom > "$patches/release-linux.rec"
head -c 120 /dev/urandom > "$patches/release-0.blk"
head -c 1463 /dev/urandom > "$patches/repair.rec"
head -c 4000 /dev/urandom > "$patches/repair-0123456789abcdef.lst"
head -c 6000 /dev/urandom > "$patches/repair-fedcba9876543210.rar"
echo partial > "$patches/.4.rar.partial"
echo 2 > "$patches/.vlm-first-patch"
port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
sed -e "s|@PORT@|$port|" -e "s|@ROOT@|$work/server|" -e "s|@PREFIX@|$work/nginx|" \
    "$source_dir/tools/demo-nginx.conf" > "$work/nginx/nginx.conf"
nginx -p "$work/nginx" -c "$work/nginx/nginx.conf"
base=http://127.0.0.1:$port/vlm/patch
for _ in $(seq 50); do curl -fs "$base/patch.hpl" -o /dev/null && break; sleep 0.1; done

failures=0
expect() {  # expect URL-PATH HEADER-PATTERN
  local headers
  headers=$(curl -sI "$base/$1" | tr -d '\r')
  if grep -qi -- "$2" <<<"$headers"; then
    echo "ok: $1 has $2"
  else
    echo "FAILED: $1 lacks $2"; failures=$((failures + 1))
  fi
}
expect patch.hpl "^HTTP/1.1 200"
expect patch.hpl "^Content-Length: 20$"
expect patch.hpl "^Cache-Control: no-store$"
for signed in release.rec release-linux.rec release-0.blk repair.rec; do
  expect "$signed" "^Cache-Control: no-store$"
  expect "$signed" "^Content-Length: "
done
expect release.rec "^Content-Length: 300$"
expect release-0.blk "^Content-Length: 120$"
expect 3.rar "^Content-Length: 5000$"
expect 3.rar "^Cache-Control: public, max-age=31536000, immutable$"
for named in repair-0123456789abcdef.lst repair-fedcba9876543210.rar; do
  expect "$named" "^Cache-Control: public, max-age=31536000, immutable$"
done
expect repair-fedcba9876543210.rar "^Content-Length: 6000$"
expect Kelda.exe "^Content-Length: 777$"
expect Kelda.exe "^Cache-Control: no-cache$"
expect "Start%20VLM.exe" "^Cache-Control: no-cache$"
expect Kelda "^Content-Length: 779$"
expect Kelda "^Cache-Control: no-cache$"
expect start-vlm "^Cache-Control: no-cache$"
expect .4.rar.partial "^HTTP/1.1 404"
expect .vlm-first-patch "^HTTP/1.1 404"
expect 5.rar "^HTTP/1.1 404"
curl -s "$base/3.rar" -o "$work/fetched.rar"
if ! cmp -s "$work/fetched.rar" "$patches/3.rar"; then echo "FAILED: 3.rar changed on the way"; failures=$((failures + 1)); fi
echo "$failures failed"
[ "$failures" -eq 0 ]
