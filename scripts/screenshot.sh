#!/usr/bin/env bash
# Grabs the station's window to a PNG, as a user sees it, under Xvfb:
#   xvfb-run -a -s "-screen 0 466x537x24" scripts/screenshot.sh OUT.png CLICK [sim options]
# CLICK 1 presses "Start test" first. Needs xdotool and imagemagick.
set -u
out=$1 click=$2
shift 2
build=$(cd "$(dirname "$0")/.." && pwd)/build
"$build/zelor-k3-tester-sim" "$@" 2>/dev/null &
pid=$!
sleep 2.5 # the first refresh lists the devices after one second
window=$(xdotool search --name "ZELOR-K3 Tester" | head -1)
if [ "$click" = 1 ]; then
  xdotool mousemove --window "$window" 233 472 click 1
  sleep 1.5
fi
import -window root -crop 466x537+0+0 "$out"
kill "$pid"
