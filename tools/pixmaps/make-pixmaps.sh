#!/bin/sh
# Draws the program's pictures with ImageMagick into resources/pixmaps/.
# Run it again after changing a drawing; the results are committed, so the
# build itself does not need ImageMagick.
#   tools/pixmaps/make-pixmaps.sh [PIXMAP_DIR [MANUAL_DIR]]
set -eu
cd "$(dirname "$0")/../.."
out=${1:-resources/pixmaps}
mkdir -p "$out"
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

# Program icon, 32 x 32: the maker's "K" on a dark blue tile.
convert -size 32x32 xc:none \
  -fill '#1c2f6b' -draw 'roundrectangle 0,0 31,31 6,6' \
  -fill '#e8a317' -draw 'rectangle 4,26 27,28' \
  -fill white -font DejaVu-Sans-Bold -pointsize 24 -gravity center \
  -annotate +0-2 'K' "$tmp/korvant.png"
convert "$tmp/korvant.png" "$out/Korvant32.ico"

# The recorder, 43 x 32: a rack box with a display, a DMX socket and LEDs.
# Each picture beside the tables is drawn a second time at twice the size
# ("@2x"), which the program picks on screens scaled by 2.
recorder() {
  body=$1 display=$2 led1=$3 led2=$4 file=$5 s=${6:-1}
  # A single pixel of the drawing: s x s pixels of the picture.
  px=$(if [ "$s" = 2 ]; then echo .5; fi)
  S="scale $s,$s"
  convert -size $((43 * s))x$((32 * s)) xc:none \
    -fill "$body" -stroke '#202020' -draw "$S roundrectangle 1,6 41,27 3,3" \
    -stroke none -fill '#101010' -draw "$S rectangle 3,24 39,26" \
    -fill "$display" -draw "$S rectangle 5,10 22,17" \
    -fill '#202020' -draw "$S rectangle 7,12 9,15" -draw "$S rectangle 11,12 13,15" \
    -draw "$S rectangle 15,12 17,15" \
    -fill "$led1" -draw "$S circle 27,11 28,12" \
    -fill "$led2" -draw "$S circle 31,11 32,12" \
    -fill '#d0d0d0' -stroke '#303030' -draw "$S circle 33,18 36,21" \
    -fill '#303030' -stroke none -draw "$S rectangle 32,18 32$px,18$px" \
    -draw "$S rectangle 34,18 34$px,18$px" -draw "$S rectangle 33,20 33$px,20$px" \
    -fill '#c0c0c0' -draw "$S rectangle 6,20 20,21" \
    "$file"
}
recorder '#3a4a8c' '#7cfc9a' '#ff3030' '#30ff30' "$out/MZT500.png"
recorder '#8a8a8a' '#b8b8b8' '#9a9a9a' '#a0a0a0' "$out/MZT500gray.png"
recorder '#3a4a8c' '#7cfc9a' '#ff3030' '#30ff30' "$out/MZT500@2x.png" 2
recorder '#8a8a8a' '#b8b8b8' '#9a9a9a' '#a0a0a0' "$out/MZT500gray@2x.png" 2

# The computer, 32 x 26: a monitor on its stand.
computer() {
  file=$1 s=${2:-1}
  S="scale $s,$s"
  convert -size $((32 * s))x$((26 * s)) xc:none \
    -fill '#404040' -draw "$S roundrectangle 2,0 29,19 2,2" \
    -fill '#5fa8e8' -draw "$S rectangle 4,2 27,17" \
    -fill '#9fd0ff' -draw "$S polygon 4,2 16,2 4,12" \
    -fill '#404040' -draw "$S rectangle 13,20 18,22" \
    -draw "$S roundrectangle 7,23 24,25 1,1" \
    "$file"
}
computer "$out/pc.png"
computer "$out/pc@2x.png" 2

# The transfer buttons, 110 x 32: an arrow towards the archive (right) and
# one towards the recorder (left), each at twice the size as well.
arrow() {
  points=$1 label=$2 x=$3 file=$4 scale=${5:-1}
  convert -size $((110 * scale))x$((32 * scale)) xc:none \
    -fill '#1f5fbf' -stroke '#0b2f6f' -strokewidth "$scale" \
    -draw "scale $scale,$scale polygon $points" \
    -stroke none -fill white -font DejaVu-Sans-Bold -pointsize $((11 * scale)) \
    -gravity west -annotate "+$((x * scale))+0" "$label" \
    "$file"
}
arrow '2,9 80,9 80,1 108,16 80,31 80,23 2,23' 'ARCHIVE' 12 "$out/Download.png"
arrow '108,9 30,9 30,1 2,16 30,31 30,23 108,23' 'RECORDER' 34 "$out/Upload.png"
arrow '2,9 80,9 80,1 108,16 80,31 80,23 2,23' 'ARCHIVE' 12 "$out/Download@2x.png" 2
arrow '108,9 30,9 30,1 2,16 30,31 30,23 108,23' 'RECORDER' 34 "$out/Upload@2x.png" 2

# A DMX sequence, 32 x 32, 24-bit BMP: light bars of changing level.
convert -size 32x32 xc:'#202838' \
  -fill '#ffcc33' -draw 'rectangle 3,20 7,29' -draw 'rectangle 10,12 14,29' \
  -fill '#ff6633' -draw 'rectangle 17,6 21,29' \
  -fill '#33ccff' -draw 'rectangle 24,15 28,29' \
  -fill '#ffffff' -draw 'rectangle 2,30 29,30' \
  -type TrueColor "BMP3:$out/DMXSequence.bmp"

# Table icons, 16 x 16: a sequence (bars of light) and the settings (a gear).
convert -size 16x16 xc:none \
  -fill '#2a3f8f' -draw 'roundrectangle 0,0 15,15 2,2' \
  -fill '#ffcc33' -draw 'rectangle 2,9 4,13' -draw 'rectangle 6,5 8,13' \
  -fill '#ff6633' -draw 'rectangle 10,2 12,13' \
  "$tmp/seq.png"
convert "$tmp/seq.png" "$out/Sequence 2.ico"
convert -size 16x16 xc:none \
  -fill '#505050' -draw 'rectangle 7,0 8,15' -draw 'rectangle 0,7 15,8' \
  -draw 'polygon 2,3 3,2 13,12 12,13' -draw 'polygon 12,2 13,3 3,13 2,12' \
  -draw 'circle 7.5,7.5 7.5,2' \
  -fill '#d8d8d8' -draw 'circle 7.5,7.5 7.5,5.5' \
  "$tmp/set.png"
convert "$tmp/set.png" "$out/Settings.ico"

# Pictures of the user manual: the maker's logo and the recorder, large.
manual=${2:-resources/manual/html}
mkdir -p "$manual"
# Wide enough for the whole name in the bold face.
convert -size 280x64 xc:none \
  -fill '#1c2f6b' -draw 'roundrectangle 0,0 63,63 10,10' \
  -fill '#e8a317' -draw 'rectangle 8,52 55,56' \
  -fill white -font DejaVu-Sans-Bold -pointsize 46 -gravity west -annotate +12-4 'K' \
  -fill '#1c2f6b' -pointsize 34 -annotate +74+0 'KORVANT' \
  -depth 8 "$manual/logo1.png"
convert "$out/MZT500.png" -filter point -resize 400% -depth 8 "$manual/rec.png"

# Eight bits per channel are plenty for these pictures.
mogrify -depth 8 "$out"/*.png
echo "pixmaps written to $out"
