#!/bin/sh
# Makes receipt.png, the sample page of `make demo`: a logo, text, a barcode
# and a picture to dither, 384 dots wide. Needs Debian's imagemagick, zint
# and fonts-dejavu-core; the result is committed, so the build does not.
set -eu
cd "$(dirname "$0")"
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
IM=/usr/bin/convert
FONT=/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf
BOLD=/usr/share/fonts/truetype/dejavu/DejaVuSans-Bold.ttf
MONO=/usr/share/fonts/truetype/dejavu/DejaVuSansMono.ttf

# Logo: a ring and the shop's name.
$IM -size 384x110 xc:white -fill none -stroke black -strokewidth 9 -draw "circle 62,55 62,16" \
    -fill black -stroke none -draw "circle 62,55 62,38" \
    -font "$BOLD" -pointsize 34 -annotate +118+52 "CORNER" \
    -font "$FONT" -pointsize 20 -annotate +120+82 "coffee & books" "$tmp/logo.png"

# Text of the receipt.
$IM -size 384x250 xc:white -font "$MONO" -pointsize 19 -fill black \
    -annotate +8+24  "08.12.2026  14:32   till 2" \
    -annotate +8+64  "Flat white          3.40" \
    -annotate +8+92  "Croissant           2.10" \
    -annotate +8+120 "Paperback, used     6.50" \
    -draw "line 8,138 376,138" \
    -font "$BOLD" -pointsize 24 -annotate +8+174 "TOTAL         12.00" \
    -font "$MONO" -pointsize 17 -annotate +8+212 "Card **** 4821      paid" \
    -annotate +8+238 "Thank you - see you soon!" "$tmp/text.png"

# Barcode of the receipt number.
zint --barcode=20 --data="R-20261208-0042" --height=48 --scale=1.5 --output="$tmp/code.png" >/dev/null
$IM "$tmp/code.png" -colorspace Gray -resize 360x -background white -gravity center -extent 384x "$tmp/barcode.png"

# A picture with smooth tones, for the halftone.
$IM -size 384x170 radial-gradient:white-black -rotate 0 \
    \( -size 384x170 gradient:gray90-gray20 \) -compose multiply -composite \
    -fill white -draw "circle 270,70 270,30" -fill gray40 -draw "ellipse 110,120 70,34 0,360" "$tmp/picture.png"

$IM "$tmp/logo.png" "$tmp/text.png" "$tmp/barcode.png" -size 384x16 xc:white "$tmp/picture.png" \
    -append -colorspace Gray -depth 8 -strip receipt.png
echo "wrote $(pwd)/receipt.png"
