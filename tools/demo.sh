#!/usr/bin/env bash
# The launcher demo: builds the Linux tree, makes an operator's signing key
# and a launcher built to trust it, a demo installation and a signed patch
# server directory with vlm-patch (the Linux launcher, a Linux client update
# and three patches: one that stores files in the game archives, one that
# writes a file, one that deletes one), serves it with nginx on loopback,
# runs the launcher (in a real window when there is a display, else under
# Xvfb with a screenshot) and prints its trace and a summary. Everything lands in demo-run/; running the
# demo again starts afresh. Then it publishes the release's repair set,
# damages the installation (an archive cut short, a changed file) and runs
# the launcher again, which finds the damage at start and repairs it.
set -euo pipefail
cd "$(dirname "$0")/.."
top=$PWD

if [ "$(id -u)" -eq 0 ]; then bash tools/install-deps.sh; else sudo bash tools/install-deps.sh; fi

echo "=== building the Linux launcher and tools"
cmake --preset linux >/dev/null
cmake --build --preset linux -j2 --target vlm-patch
vlm_patch=$top/build/linux/bin/vlm-patch

run=$top/demo-run
rm -rf "$run"
mkdir -p "$run/install" "$run/server/vlm/patch" "$run/content/store" "$run/content/write" "$run/nginx"
patches=$run/server/vlm/patch
install=$run/install

echo "=== the operator's signing key, and a launcher that trusts it"
"$vlm_patch" key generate "$run/operator.key" | tee "$run/key.txt"
public_key=$(tail -n 1 "$run/key.txt")
cmake -S "$top" -B "$top/build/demo" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVLM_TEST_HOOKS=ON \
      -DVLM_BUILD_TESTS=OFF -DVLM_BUILD_BENCH=OFF -DVLM_TRUSTED_KEYS="$public_key" >/dev/null
cmake --build "$top/build/demo" -j2 --target launcher vlm_keupdate vlm-rar-reader
bin=$top/build/demo/bin

echo "=== the installation: empty game archives at version 0, launcher and client"
"$vlm_patch" index init "$install" --version 0
cp "$bin/start-vlm" "$install/start-vlm"
cp "$bin/KeUpdate" "$install/KeUpdate"
cp "$bin/vlm-rar-reader" "$install/vlm-rar-reader"
# The game client stand-in, a Linux program as the real client is (the
# launcher and vlm-patch take only a program of the launcher's platform):
# records the command line it was started with.
cat > "$run/content/client.c" <<'CLIENT'
#include <stdio.h>
int main(int argc, char** argv) {
  FILE* out = fopen(RECORD, "w");
  if (!out) return 1;
  fprintf(out, "%s client started:", WHICH);
  for (int i = 0; i < argc; ++i) fprintf(out, " %s", argv[i]);
  fputc('\n', out);
  return fclose(out) != 0;
}
CLIENT
for which in old new; do
  cc -O2 -DWHICH="\"$which\"" -DRECORD="\"$install/client-command-line.txt\"" \
     -o "$run/content/Kelda-$which" "$run/content/client.c"
done
install -m 755 "$run/content/Kelda-old" "$install/Kelda"
# Installed: launcher version 1, client version 0.
printf '\001\000\000\000\000\000\000\000' > "$install/cver.v"
echo "an intro movie the next patch removes" > "$install/old_intro.txt"

echo "=== the patch server, signed: Linux launcher 1, Linux client 1, patches 1 to 3"
key=(--key "$run/operator.key")
# The first signing of the server: any key signs it; each later one must
# be a key that signed the release before it.
"$vlm_patch" publish-launcher "$patches" "$bin/start-vlm" "${key[@]}"
"$vlm_patch" publish-client "$patches" "$run/content/Kelda-new" "${key[@]}"
for i in 1 2 3; do head -c $((40000 * i)) /dev/urandom > "$run/content/store/texture$i.bin"; done
cat > "$run/content/patch1.txt" <<MANIFEST
# Patch 1: three textures into the game archives
store 0x00010001 store/texture1.bin
store 0x00010002 store/texture2.bin
store 0x00010003 store/texture3.bin
MANIFEST
echo "Welcome to the winter festival!" > "$run/content/write/news.txt"
cat > "$run/content/patch2.txt" <<MANIFEST
# Patch 2: a file written into the installation
write "data\\news\\festival.txt" write/news.txt
MANIFEST
cat > "$run/content/patch3.txt" <<MANIFEST
# Patch 3: a file deleted from the installation
delete old_intro.txt
MANIFEST
for i in 1 2 3; do "$vlm_patch" publish "$patches" "$run/content/patch$i.txt" "${key[@]}"; done
"$vlm_patch" server check "$patches" --public-key "$public_key"

echo "=== serving it with nginx on loopback"
port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
sed -e "s|@PORT@|$port|" -e "s|@ROOT@|$run/server|" -e "s|@PREFIX@|$run/nginx|" \
    tools/demo-nginx.conf > "$run/nginx/nginx.conf"
nginx -p "$run/nginx" -c "$run/nginx/nginx.conf"
stop_nginx() { [ -f "$run/nginx/nginx.pid" ] && kill "$(cat "$run/nginx/nginx.pid")" 2>/dev/null || true; }
trap stop_nginx EXIT
for _ in $(seq 50); do curl -fs "http://127.0.0.1:$port/vlm/patch/patch.hpl" -o /dev/null && break; sleep 0.1; done

echo "=== running the launcher"
export VLM_PATCH_BASE_URL="http://127.0.0.1:$port/vlm/patch"
if [ -n "${DISPLAY:-}" ]; then
  (cd "$install" && ./start-vlm > "$run/trace.txt")
else
  xvfb-run -a -s "-screen 0 1366x768x24" bash tools/demo-window.sh "$install" "$run"
fi

# The launcher ends as soon as it has started the client; give the client a
# moment to write down its command line.
for _ in $(seq 50); do [ -s "$install/client-command-line.txt" ] && break; sleep 0.1; done

echo "=== the launcher's trace"
cat "$run/trace.txt"
echo "=== summary"
echo "release:          $(grep -o 'Release [0-9]* verified' "$run/trace.txt" || echo 'NOT verified')"
echo "patches applied:  $(grep -o '[0-9]*\.rar Extracted successfully' "$run/trace.txt" | cut -d. -f1 | tr '\n' ' ')"
"$vlm_patch" index show "$install" | head -n 1 | sed 's/^/installation:     /'
echo "client started:   $(cat "$install/client-command-line.txt" 2>/dev/null || echo 'none')"
echo "festival news:    $(cat "$install/data/news/festival.txt" 2>/dev/null || echo 'missing')"
echo "old intro:        $([ -e "$install/old_intro.txt" ] && echo 'still there' || echo 'deleted')"
"$vlm_patch" index check "$install" | tail -n 1 | sed 's/^/index check:      /'
[ -f "$run/launcher.png" ] && echo "screenshot:       $run/launcher.png"

echo "=== the repair set: the release the player now has, published beside the patches"
release=$run/release
rm -rf "$release"
cp -r "$install" "$release"
rm -f "$release/client-command-line.txt"
"$vlm_patch" publish-repair-set "$patches" "$release" "${key[@]}"
"$vlm_patch" server check "$patches" --public-key "$public_key" | grep '^repair set'

echo "=== damage: an archive cut short and a changed file; the launcher heals them"
archive=$(cd "$install" && ls ./*.VFS | head -n 1)
truncate -s -1000 "$install/$archive"
echo "Welcome to the winter festival! (changed on the disk)" > "$install/data/news/festival.txt"
rm -f "$install/client-command-line.txt"
if [ -n "${DISPLAY:-}" ]; then
  (cd "$install" && ./start-vlm > "$run/repair-trace.txt")
else
  xvfb-run -a -s "-screen 0 1366x768x24" bash tools/demo-window.sh "$install" "$run" repair "Repair: done"
fi
for _ in $(seq 50); do [ -s "$install/client-command-line.txt" ] && break; sleep 0.1; done
grep -E 'Installation check|Repair:' "$run/repair-trace.txt" | sed 's/ | .*$//'
echo "=== after the repair"
started=$(cat "$install/client-command-line.txt" 2>/dev/null || echo 'none')
rm -f "$install/client-command-line.txt"  # the stand-in's own record, not the release's
echo "compare:          $("$vlm_patch" compare "$install" "$release" | tail -n 1)"
echo "festival news:    $(cat "$install/data/news/festival.txt" 2>/dev/null || echo 'missing')"
echo "client started:   $started"
[ -f "$run/repair.png" ] && echo "screenshot:       $run/repair.png"
