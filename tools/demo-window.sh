#!/usr/bin/env bash
# Runs the launcher on the demo's X display and takes a screenshot once the
# patches are in, while the window shows the start message.
set -u
install=$1 run=$2
# Line-buffered, so the trace shows the progress while the launcher runs.
(cd "$install" && exec stdbuf -oL ./start-vlm > "$run/trace.txt") &
launcher=$!
for _ in $(seq 300); do
  grep -q "Patch progress : 100" "$run/trace.txt" 2>/dev/null && break
  kill -0 $launcher 2>/dev/null || break
  sleep 0.1
done
sleep 0.5
import -window root -crop 400x300+483+234 "$run/launcher.png" 2>/dev/null || true
wait $launcher
