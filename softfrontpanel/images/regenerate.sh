#!/bin/sh
# Renders the compiled-in images from their sources in src/.
# Needs rsvg-convert (librsvg2-bin) and ImageMagick's convert.
set -eu
cd "$(dirname "$0")"

rsvg-convert -w 520 -h 400 src/fp_splash.svg -o fp_splash.png
rsvg-convert -w 452 -h 194 src/cv4870_splash.svg -o cv4870_splash.png
rsvg-convert -w 110 -h 345 src/about.svg -o about.png

# The header logos are plain 24-bit BMPs without alpha.
for logo in corvane-logo vxi-logo; do
    rsvg-convert src/$logo.svg -o "$logo.tmp.png"
    convert "$logo.tmp.png" -background '#1a2c5e' -flatten -alpha off -type TrueColor "BMP3:$logo.bmp"
    rm -f "$logo.tmp.png"
done
