#!/usr/bin/env bash
# Builds the launcher again in a fresh tree at another path and compares it byte for byte with the reference
# build; neither may hold the source or build path.
set -euo pipefail
source_dir=$1 reference=$2 tree=$3
rm -rf "$tree"
cmake -S "$source_dir" -B "$tree" -DCMAKE_TOOLCHAIN_FILE="$source_dir/cmake/mingw-i686.cmake" \
  -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$tree" --target quorventine -j "$(nproc)" >/dev/null
again=$tree/dist/quorventine.exe
cmp "$reference" "$again"
for binary in "$reference" "$again"; do
  for path in "$source_dir" "$tree"; do
    if grep -qaF "$path" "$binary"; then
      echo "$binary holds the path $path" >&2
      exit 1
    fi
  done
done
echo "two builds in different trees are identical ($(stat -c %s "$reference") bytes)"
