#!/bin/sh
# Renders the hicolor PNG sizes of the icon from io.github.mmfcast.mmfcast.svg (rsvg-convert,
# package librsvg2-bin). 16 and 32 are not rendered: those are the hand-tuned pixel drawings of
# ui/icon/make_icon.sh, installed as they are. Run from anywhere; writes next to this script.
set -eu
cd "$(dirname "$0")"
for size in 22 24 48 64 128 256; do
  rsvg-convert -w "$size" -h "$size" -o "icon_$size.png" ../io.github.mmfcast.mmfcast.svg
done
