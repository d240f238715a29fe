#!/usr/bin/env bash
# The check as a user runs it: its zip unpacked into a folder of its own outside the build tree, then
# quorventine-check.exe under Wine with nothing of ours in its environment but what Wine needs (the prefix,
# WINEDEBUG, the locale, which gives the ANSI code page: C.UTF-8 1252, ja_JP.UTF-8 932, ru_RU.UTF-8 1251). It passes
# only where the check ends with the exit code expected and has printed its summary line first; a launcher given
# with --launcher is put in the unpacked folder, as a packager who checks another build would.
# usage: run_check.sh <quorventine-check.zip> <locale> <exit code> [--launcher <file>] [the check's arguments]
#        (WINEPREFIX: a prefix whose server runs; QV_RUN_AS: a command that runs wine as another user, whose HOME
#        and prefix these are)
set -euo pipefail
zip=$(readlink -f "$1") locale=$2 expected=$3
shift 3
unpacked=$(mktemp -d)
chmod 755 "$unpacked"
trap 'rm -rf "$unpacked"' EXIT
(cd "$unpacked" && cmake -E tar xf "$zip")
if [ "${1:-}" = --launcher ]; then
  cp "$2" "$unpacked/quorventine-check/under-test.exe"
  set -- --launcher under-test.exe "${@:3}"
fi
cd "$unpacked/quorventine-check"
status=0
${QV_RUN_AS:-} env -i PATH="$PATH" HOME="$HOME" WINEPREFIX="$WINEPREFIX" WINEDEBUG=-all LC_ALL="$locale" \
  wine quorventine-check.exe "$@" >output.txt 2>&1 || status=$?
cat output.txt
grep -qE '^[0-9]+ cases: [0-9]+ passed, [0-9]+ skipped, [0-9]+ failed$' output.txt ||
  { echo "run_check: no summary line" >&2; exit 1; }
[ "$status" = "$expected" ] || { echo "run_check: exit code $status, expected $expected" >&2; exit 1; }
