#!/usr/bin/env bash
# Makes KorvaneDownloader.ico from KorvaneDownloader.png, the drawing at 16 pixels: the same
# drawing (a white arrow over a white bar, on red) at 20, 24 and 32 pixels, for 125 %, 150 % and
# 200 % display scale. Needs ImageMagick; the .ico is committed, so the build does not.
set -euo pipefail

cd "$(dirname "$0")"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
for size in 20 24 32; do
    # The drawing in the 16-pixel grid, scaled to `size`.
    scale=$(awk -v size="$size" 'BEGIN { print size / 16 }')
    convert -size "${size}x$size" xc:'#FF0000' -fill white -stroke none \
        -draw "scale $scale,$scale \
               polygon 4,3 12,3 8,9  polygon 3,10 13,10 13,13 3,13" \
        "$work/$size.png"
done
convert KorvaneDownloader.png "$work/20.png" "$work/24.png" "$work/32.png" KorvaneDownloader.ico
