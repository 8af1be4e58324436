#!/usr/bin/env bash
# Runs the launcher on the demo's X display and takes a screenshot while the
# window shows what the run is about: by default once the patches are in, as
# the window shows the start message.
# Usage: demo-window.sh INSTALL RUN [NAME WAIT_TEXT [LAUNCHER_WORD...]]
#   the trace goes to RUN/NAME-trace.txt and the picture to RUN/NAME.png
#   (NAME "launcher": RUN/trace.txt and RUN/launcher.png), taken once the
#   trace holds WAIT_TEXT.
set -u
install=$1 run=$2
name=${3:-launcher}
wait_text=${4:-Patch progress : 100}
shift $(( $# < 4 ? $# : 4 ))
trace=$run/$name-trace.txt
[ "$name" = launcher ] && trace=$run/trace.txt
# Line-buffered, so the trace shows the progress while the launcher runs.
(cd "$install" && exec stdbuf -oL ./start-vlm "$@" > "$trace") &
launcher=$!
for _ in $(seq 300); do
  grep -q "$wait_text" "$trace" 2>/dev/null && break
  kill -0 $launcher 2>/dev/null || break
  sleep 0.1
done
sleep 0.5
import -window root -crop 400x300+483+234 "$run/$name.png" 2>/dev/null || true
wait $launcher
