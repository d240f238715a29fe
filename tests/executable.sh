#!/usr/bin/env bash
# The built launcher's form, read with binutils, icoutils and od; the build's check of the icon it is given; then a
# second build in another tree, which must be the same file and hold neither tree's path.
# And the form and imports of the check program and its probes, which run on Windows 7 SP1 and later.
# usage: executable.sh <source directory> <launcher> <the icon the build was given> <scratch tree for the second build>
#                      <the check program's folder>
set -euo pipefail
source_dir=$1 exe=$2 ico=$3 tree=$4 check_dir=$5
status=0
differs() {  # what, expected, actual; reading nothing where something is expected fails too
  [ -n "$3" ] || [ -z "$2" ] || { echo "nothing read for: $1" >&2; status=1; return; }
  diff <(printf '%s\n' "$2") <(printf '%s\n' "$3") >&2 || { echo "^ $1" >&2; status=1; }; }

headers=$(i686-w64-mingw32-objdump -p "$exe")
differs "headers: 32-bit GUI program for Windows XP and later, no link timestamp" "$(printf '%s\n' \
  'file format pei-i386' 'Time/Date Thu Jan 1 00:00:00 1970' 'Magic 010b (PE32)' 'MajorOSystemVersion 5' \
  'MinorOSystemVersion 1' 'MajorSubsystemVersion 5' 'MinorSubsystemVersion 1' 'Subsystem 00000002 (Windows GUI)' \
  DYNAMIC_BASE NX_COMPAT TERMINAL_SERVICE_AWARE 'SizeOfStackReserve 00100000')" \
  "$(grep -oE 'file format .*|^(Time/Date|Magic|(Major|Minor)(OSystem|Subsystem)Version|Subsystem|SizeOfStackReserve)\s.*|^\s+(DYNAMIC_BASE|NX_COMPAT|TERMINAL_SERVICE_AWARE|relocations stripped)$' \
  <<<"$headers" | tr -s ' \t' ' ' | sed 's/^ //')"
# The data directory's sizes, read from the file's bytes, not from a tool's text (0x3c: the PE header's offset).
directory_size() { echo $(($(od -An -tu4 -j $(($(od -An -tu4 -j60 -N4 "$exe") + 124 + 8 * $1)) -N4 "$exe"))); }
# A randomised base needs relocations; a delay-load table would be a hidden import.
differs "relocations present, no delay-load imports" "1 0" "$(($(directory_size 5) > 0)) $(($(directory_size 13) > 0))"

# Windows XP refuses a program that imports a function it lacks: every import must be on the allowed list with
# a documented minimum of at most 5.1, and the list holds KERNEL32.dll alone: no runtime's DLL. An import is the
# last field of its line under its DLL's name, whatever columns objdump's version puts first; the import address
# table's size (a slot for each, one more ending each DLL's list) shows that all were read.
imports_of() { awk '/DLL Name:/ { dll = $NF; next } /^$/ { dll = "" } dll != "" && /^\t[0-9a-f]+[ \t]/ { print dll, $NF }'; }
not_allowed() {  # imports, list, highest minimum; a DLL listed with "*" allows all of its functions
  comm -23 <(awk 'NR == FNR { if ($2 == "*") any[$1]; next } !($1 in any)' "$2" - <<<"$1" | sort) \
    <(awk -v up_to="$3" '!/^#/ && NF == 3 && $3 <= up_to { print $1, $2 }' "$2" | sort) | grep .; }
imports=$(imports_of <<<"$headers")
differs "imports not allowed for Windows XP (tests/allowed-imports.txt)" "" \
  "$(not_allowed "$imports" "$source_dir/tests/allowed-imports.txt" 5.1)"
awk -v slots=$(($(directory_size 12) / 4)) 'NF { n++; dlls += !seen[$1]++ } END { if (!n || n + dlls != slots) {
  printf "%d imports read, but the import address table has %d slots\n", n, slots > "/dev/stderr"; exit 1 } }' <<<"$imports" || status=1
found=$(imports_of <<<"$(i686-w64-mingw32-objdump -p "$check_dir/quorventine-check.exe")")
[ -n "$found" ] || { echo "no imports read from quorventine-check.exe" >&2; status=1; }
differs "quorventine-check.exe: imports not allowed for Windows 7 (tests/check-imports.txt)" "" \
  "$(not_allowed "$found" "$source_dir/tests/check-imports.txt" 6.1)"
# The probes, one for each machine that an application may be built for, read with llvm-readobj, which reads ARM64
# files too: a GUI program that imports from kernel32 alone, each function on the Windows 7 list, and a library that
# imports nothing.
form_of() {
  llvm-readobj --file-headers --coff-imports "$1" | awk '/^  Machine: / { print "machine", $2 }
    /^  Subsystem: / { print "subsystem", $2 } /^  Name: / { dll = toupper($2) }
    /^  Symbol: / { print "import", dll == "KERNEL32.DLL" ? "KERNEL32.dll" : dll, $2 }'
}
for probe in x86:I386 x64:AMD64 arm64:ARM64; do
  folder=${probe%:*} machine=IMAGE_FILE_MACHINE_${probe#*:}
  form=$(form_of "$check_dir/$folder/quorventine.exe")
  differs "$folder/quorventine.exe: its machine, a GUI program" "$(printf '%s\n' "machine $machine" \
    'subsystem IMAGE_SUBSYSTEM_WINDOWS_GUI')" "$(grep -v '^import' <<<"$form")"
  found=$(awk '$1 == "import" { print $2, $3 }' <<<"$form")
  differs "$folder/quorventine.exe: imports, from kernel32 alone" "KERNEL32.dll" "$(cut -d' ' -f1 <<<"$found" | sort -u)"
  differs "$folder/quorventine.exe: imports not allowed for Windows 7 (tests/check-imports.txt)" "" \
    "$(not_allowed "$found" "$source_dir/tests/check-imports.txt" 6.1)"
  differs "$folder/probe_lib.dll: its machine, and no imports" "machine $machine" \
    "$(form_of "$check_dir/$folder/probe_lib.dll" | grep -v '^subsystem')"
done
[ "$(stat -c %s "$exe")" -le 90112 ] || { echo "the launcher is $(stat -c %s "$exe") bytes, more than 88 KiB" >&2; status=1; }

manifest=$source_dir/resources/quorventine.manifest
differs "resources: the icon, its group IDI_APP and the manifest, in English (United States)" "$(cat <<'END'
--type=3 --name=1 --language=1033 [type=icon size=67624]
--type=14 --name='IDI_APP' --language=1033 [type=group_icon size=20]
--type=24 --name=1 --language=1033 [size=346]
END
)" "$(wrestool -l "$exe" | sed 's/offset=0x[0-9a-f]* //')"
# The group is the file's header and directory entry with the image's resource id in place of its offset.
cmp <(wrestool -x --raw -t 14 "$exe") <({ head -c 18 "$ico"; printf '\1\0'; }) || status=1
cmp <(wrestool -x --raw -t 3 "$exe") <(tail -c +$(($(od -An -tu4 -j18 -N4 "$ico") + 1)) "$ico" | head -c 67624) || status=1
cmp <(wrestool -x --raw -t 24 "$exe") "$manifest" || status=1
grep -q 'level="asInvoker" uiAccess="false"' "$manifest" || { echo "the manifest must ask for asInvoker" >&2; status=1; }

# An icon that the executable cannot carry stops the build, saying what is wrong: each bad file is the drawn icon
# with a few bytes changed. One that is not there stops the configure step already.
refused() {  # what the message must say, the command that must refuse
  local message
  ! message=$("${@:2}" 2>&1) && grep -qF "$1" <<<"$(tr -s ' \n' ' ' <<<"$message")" ||
    { echo "not refused with \"$1\": $message" >&2; status=1; }
}
rejected() {  # name, offset, bytes (printf escapes) written there, what the message must say
  local bad=$tree-$1.ico
  cp "$source_dir/resources/quorventine.ico" "$bad"
  printf "$3" | dd of="$bad" bs=1 seek="$2" conv=notrunc status=none
  refused "$4" cmake -DICON="$bad" -DCOPY="$bad.copy" -P "$source_dir/cmake/check_icon.cmake"
}
refused "The icon $tree-missing.ico cannot be used: there is no such file" cmake -S "$source_dir" -B "$tree-missing" \
  -DCMAKE_TOOLCHAIN_FILE="$source_dir/cmake/mingw-i686.cmake" -DQUORVENTINE_ICON="$tree-missing.ico"
rm -rf "$tree-missing"
rejected not_an_icon 0 'PK' 'it is not an icon file'
rejected several_images 4 '\2' 'it holds 2 images'
rejected another_size 26 '\100' 'its image is 64 x 128 pixels'
rejected another_depth 36 '\10' 'its image has 8 bits per pixel'
rejected png_compressed 22 '\211PNG\r\n\32\n' 'its image is PNG-compressed'
rejected cut_short 14 '\377\377' 'its image lies outside the file'

rm -rf "$tree"
cmake -S "$source_dir" -B "$tree" -DCMAKE_TOOLCHAIN_FILE="$source_dir/cmake/mingw-i686.cmake" \
  -DCMAKE_BUILD_TYPE=Release -DQUORVENTINE_ICON="$ico" >/dev/null
cmake --build "$tree" --target quorventine -j "$(nproc)" >/dev/null
cmp "$exe" "$tree/dist/quorventine.exe" || { echo "two builds differ" >&2; status=1; }
for path in "$source_dir" "$tree" "$(dirname "$(dirname "$exe")")"; do
  ! grep -qaF "$path" "$exe" || { echo "the launcher holds the path $path" >&2; status=1; }
done
exit $status
