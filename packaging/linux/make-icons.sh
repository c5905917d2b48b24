#!/bin/sh
# Draws the desktop icon (the maker's "K" on a dark blue tile, as in the
# program's window icon) at the hicolor sizes. The results are committed;
# the build does not need ImageMagick.
set -eu
cd "$(dirname "$0")"
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
convert -size 256x256 xc:none \
  -fill '#1c2f6b' -draw 'roundrectangle 4,4 251,251 48,48' \
  -fill '#e8a317' -draw 'rectangle 32,208 223,231' \
  -fill white -draw "path 'M 72 40 h 32 v 56 l 48 -56 h 40 l -60 68 l 64 76 h -40 l -52 -64 v 64 h -32 z'" \
  "$tmp/icon.png"
for s in 16 32 48 64 128 256; do
  mkdir -p "icons/${s}x${s}"
  convert "$tmp/icon.png" -resize "${s}x${s}" "icons/${s}x${s}/com.korvant.MZT500Backup.png"
done
