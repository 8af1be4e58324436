#!/usr/bin/env bash
# Runs a Windows executable under Wine in a 32-bit prefix kept in the build
# tree, so tests never touch the user's own Wine prefix.
set -euo pipefail
: "${WINEPREFIX:=${VLM_WINEPREFIX:-$HOME/.cache/vlm-wine32}}"
export WINEPREFIX WINEARCH=win32 WINEDEBUG=-all
# No Mono or Gecko install prompts: the launcher needs neither.
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=d}"
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  mkdir -p "$(dirname "$WINEPREFIX")"
  # First use: create the prefix once; concurrent callers wait on the lock.
  exec 9>"$WINEPREFIX.lock"
  flock 9
  [ -f "$WINEPREFIX/system.reg" ] || { wineboot -i >/dev/null 2>&1 || true; wineserver -w || true; }
  flock -u 9
fi
# Wine 8 on Debian does not take fonts-wine's faces by itself: the
# Tahoma-compatible one goes into the prefix so the Windows window draws
# with it.
if [ -d /usr/share/wine/fonts ] && [ -d "$WINEPREFIX/drive_c/windows/Fonts" ]; then
  cp -n /usr/share/wine/fonts/*.ttf "$WINEPREFIX/drive_c/windows/Fonts/" 2>/dev/null || true
fi
exec wine "$@"
