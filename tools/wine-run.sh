#!/usr/bin/env bash
# Runs a Windows executable under Wine in a prefix of its own, so tests never
# touch the user's own Wine prefix. The program's PE header picks the Wine:
# a 32-bit program (the players' i686 build) runs under wine32 in a win32
# prefix, a 64-bit one (the windows64 tree, the stand-in where 32-bit
# programs cannot run) under wine64 in a win64 prefix. The prefix is
# WINEPREFIX when set, else VLM_WINEPREFIX or VLM_WINE64PREFIX.
# Usage: wine-run.sh PROGRAM.exe [ARGUMENT...]
set -euo pipefail

# The machine field of a PE file's COFF header ("014c" i386, "8664" x86-64),
# or nothing when the file is not a readable PE program.
pe_machine() {
  local file=$1 offset
  [ -f "$file" ] && [ "$(head -c 2 "$file")" = MZ ] || return 0
  offset=$(od -An -t u4 -j 60 -N 4 "$file" | tr -d ' ')
  [ -n "$offset" ] && [ "$(od -An -c -j "$offset" -N 4 "$file" | tr -d ' ')" = 'PE\0\0' ] || return 0
  od -An -t x2 -j $((offset + 4)) -N 2 "$file" | tr -d ' '
}

if [ "$(pe_machine "${1:-}")" = 8664 ]; then
  # Debian keeps wine64 out of PATH.
  loader=$(command -v wine64 || echo /usr/lib/wine/wine64)
  : "${WINEPREFIX:=${VLM_WINE64PREFIX:-$HOME/.cache/vlm-wine64}}"
  # What Debian's wine script does when it falls back to wine64: the
  # programs a test starts from its own go through the same loader.
  export WINEARCH=win64 WINELOADER=$loader
else
  loader=wine
  : "${WINEPREFIX:=${VLM_WINEPREFIX:-$HOME/.cache/vlm-wine32}}"
  export WINEARCH=win32
fi
export WINEPREFIX WINEDEBUG=-all
# No Mono or Gecko install prompts: the launcher needs neither.
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=d}"
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  mkdir -p "$(dirname "$WINEPREFIX")"
  # First use: create the prefix once; concurrent callers wait on the lock.
  exec 9>"$WINEPREFIX.lock"
  flock 9
  [ -f "$WINEPREFIX/system.reg" ] || { "$loader" wineboot -i >/dev/null 2>&1 || true; wineserver -w || true; }
  flock -u 9
fi
# Wine 8 on Debian does not take fonts-wine's faces by itself: the
# Tahoma-compatible one goes into the prefix so the Windows window draws
# with it.
if [ -d /usr/share/wine/fonts ] && [ -d "$WINEPREFIX/drive_c/windows/Fonts" ]; then
  cp -n /usr/share/wine/fonts/*.ttf "$WINEPREFIX/drive_c/windows/Fonts/" 2>/dev/null || true
fi
exec "$loader" "$@"
