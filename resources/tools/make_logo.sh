#!/usr/bin/env bash
# Sets the 142 x 32 logo of the magazine edition "Kiosko": white lettering on a
# red band with a dark frame. Needs ImageMagick and the Liberation fonts.
# Run from the repository root:  bash resources/tools/make_logo.sh
set -euo pipefail
out=resources/pictures/kiosko.png
font=/usr/share/fonts/truetype/liberation/LiberationSans-BoldItalic.ttf
convert -size 142x32 xc:'#800000' \
  -fill '#c00000' -draw 'rectangle 2,2 139,29' \
  -font "$font" -pointsize 25 -fill white -gravity center -annotate +0+1 'Kiosko' \
  -fill '#ffff00' -draw 'rectangle 8,26 133,27' \
  -strip -depth 8 -define png:color-type=2 "$out"
