#!/usr/bin/env bash
# Runs a command on a fresh Xvfb screen of 1366 x 768 x 24 and stops the
# server afterwards. Xvfb picks a free display number itself (-displayfd), so
# tests running side by side never share or fight over one, which
# "xvfb-run -a" cannot promise when two start at the same moment. -noreset
# keeps the server as it is when its last client leaves: the tests start one
# launcher after another, and a server in the middle of a reset refuses them.
#
# With WINEPREFIX set (Windows tests), the Wine server of that prefix is
# stopped before and after: Wine's desktop process binds to the display of
# its first window, so a prefix must not outlive its screen or be shared with
# tests on another (or no) display.
set -euo pipefail
stop_wine() { if [ -n "${WINEPREFIX:-}" ]; then WINEPREFIX=$WINEPREFIX wineserver -k >/dev/null 2>&1 || true; fi; }
stop_wine
fifo=$(mktemp -u /tmp/vlm-xvfb.XXXXXX)
mkfifo "$fifo"
Xvfb -displayfd 3 -screen 0 1366x768x24 -nolisten tcp -ac -noreset 3>"$fifo" >/dev/null 2>&1 &
server=$!
trap 'stop_wine; kill "$server" 2>/dev/null || true; wait "$server" 2>/dev/null || true; rm -f "$fifo"' EXIT
read -r -t 60 number <"$fifo" || { echo "Xvfb did not start" >&2; exit 1; }
export DISPLAY=":$number"
"$@"
