#!/bin/bash
# Retakes docs/screenshot.png: two copies side by side under Xvfb and openbox, a few lines
# typed with xdotool. Needs xvfb, openbox, xdotool and imagemagick; takes the program to run
# as its argument (default: the release build).
set -euo pipefail
cd "$(dirname "$0")/.."
bin=${1:-build/release/ui/qt/mmfcast}
Xvfb :99 -screen 0 720x560x24 -nolisten tcp >/dev/null 2>&1 &
xvfb=$!
export DISPLAY=:99
sleep 1
openbox >/dev/null 2>&1 &
wm=$!
session=$(mktemp -d)
export MMFCAST_SESSION_DIR=$session
unset QT_QPA_PLATFORM
"$bin" 2>/dev/null & a=$!
"$bin" 2>/dev/null & b=$!
trap 'kill $a $b 2>/dev/null; sleep 0.5; kill $wm $xvfb 2>/dev/null; rm -rf "$session"' EXIT
sleep 2
wa=$(xdotool search --name "mmfcast \(pid $a\)" | head -1)
wb=$(xdotool search --name "mmfcast \(pid $b\)" | head -1)
xdotool windowmove "$wa" 20 40
xdotool windowmove "$wb" 380 40
sleep 0.5
say() {  # window, text: click into the input line, type, press Enter
  xdotool windowactivate --sync "$1" 2>/dev/null || true
  sleep 0.3
  xdotool mousemove --window "$1" 150 360 click 1
  sleep 0.2
  xdotool type --delay 90 "$2"
  [ $# -gt 2 ] || xdotool key Return
  sleep 0.5
}
say "$wa" "Hello from the left window"
say "$wb" "Hi from the right one"
say "$wa" "Shall we test Unicode?"
say "$wb" "Sure! Grüße, déjà vu, ½ €"
say "$wa" "Each line lands at the bottom"
say "$wb" "typing..." no-enter
sleep 0.8
import -window root png:- | convert - -crop 686x456+9+14 +repage docs/screenshot.png
