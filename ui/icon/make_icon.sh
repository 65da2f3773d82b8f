#!/bin/sh
# Draws the program's icon (a window with two lines of text and a send arrow) at 16x16 and
# 32x32 and packs both into the Windows .ico. Run from anywhere; writes next to this script.
set -eu
cd "$(dirname "$0")"
im=/usr/bin/convert
draw() {  # size, output, then drawing primitives scaled to that size
  size=$1; out=$2; shift 2
  "$im" -size "${size}x${size}" xc:none "$@" -strip "PNG32:$out"
}
draw 32 mmfcast-32.png \
  -fill '#1f4e8c' -stroke '#0d2a52' -draw 'roundrectangle 1,3 30,28 4,4' \
  -stroke none -fill '#ffffff' -draw 'rectangle 4,7 27,19' \
  -fill '#1f4e8c' -draw 'rectangle 7,10 22,11' -draw 'rectangle 7,14 18,15' \
  -fill '#f39a1e' -stroke '#a35c00' -draw 'polygon 17,21 28,25 17,29'
draw 16 mmfcast-16.png \
  -fill '#1f4e8c' -stroke none -draw 'roundrectangle 0,1 15,14 2,2' \
  -fill '#ffffff' -draw 'rectangle 2,3 13,9' \
  -fill '#1f4e8c' -draw 'rectangle 4,5 11,5' -draw 'rectangle 4,7 9,7' \
  -fill '#f39a1e' -draw 'polygon 8,10 15,12 8,15'
"$im" mmfcast-16.png mmfcast-32.png \( mmfcast-32.png -colors 16 \) mmfcast.ico
