#!/usr/bin/env bash
# The build's check of the product icon: a file that the executable cannot carry stops the build, saying what is
# wrong with it. Each bad file is the drawn icon with a few bytes changed.
# usage: icon_check.sh <source directory> <scratch directory>
set -euo pipefail
source_dir=$1 scratch=$2
mkdir -p "$scratch"
status=0
rejects() {  # name, offset, bytes (printf escapes) written there, what the message must say
  local bad=$scratch/$1.ico message
  cp "$source_dir/resources/quorventine.ico" "$bad"
  printf "$3" | dd of="$bad" bs=1 seek="$2" conv=notrunc status=none
  message=$(cmake -DICON="$bad" -DCOPY="$scratch/copy.ico" -P "$source_dir/cmake/check_icon.cmake" 2>&1 | tr -s ' \n' ' ') &&
    { echo "$1: accepted" >&2; status=1; return; }
  grep -qF "$4" <<<"$message" || { echo "$1: rejected without \"$4\": $message" >&2; status=1; }
}
rejects not_an_icon 0 'PK' 'it is not an icon file'
rejects several_images 4 '\2' 'it holds 2 images'
rejects another_size 26 '\100' 'its image is 64 x 128 pixels'
rejects another_depth 36 '\10' 'its image has 8 bits per pixel'
rejects png_compressed 22 '\211PNG\r\n\32\n' 'its image is PNG-compressed'
rejects cut_short 14 '\377\377' 'its image lies outside the file'
exit $status
