#!/usr/bin/env bash
# The committed artwork has the formats, sizes and roles that the window's resources need, and
# each button strip has four frames that differ.
#   artwork_test.sh ART_FOLDER
set -euo pipefail
art=$1
fail() { echo "artwork: $*"; exit 1; }
expect() {
  local file=$1 format=$2 size=$3
  local got
  got=$(identify -format '%m %wx%h %[channels]' "$art/$file") || fail "$file cannot be read"
  case "$got" in
    "$format $size "srgb*|"$format $size "rgb*) ;;
    *) fail "$file is '$got', not $format $size RGB" ;;
  esac
}
for id in 200 201 202 203; do expect "background-$id.jpg" JPEG 614x448; done
expect progress-track.png PNG 1x16
expect progress-left.png PNG 64x16
expect progress-middle.png PNG 1x16
expect progress-right.png PNG 64x16
for button in retry exit; do
  expect "button-$button.png" PNG 280x20
  frames=$(convert "$art/button-$button.png" +repage -crop 70x20 +repage -format '%#\n' info: | sort -u | wc -l)
  [ "$frames" -eq 4 ] || fail "button-$button.png has $frames different frames, not 4"
done
# The backgrounds are pictures, not flat colours.
for id in 200 201 202 203; do
  colours=$(identify -format '%k' "$art/background-$id.jpg")
  [ "$colours" -gt 1000 ] || fail "background-$id.jpg has only $colours colours"
done
echo "artwork: passed"
