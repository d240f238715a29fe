#!/usr/bin/env bash
# The check as a user runs it: its zip unpacked into a folder of its own outside the build tree, then
# quorventine-check.exe under Wine with nothing of ours in its environment but what Wine needs (the prefix,
# WINEDEBUG, the locale, which gives the ANSI code page: C.UTF-8 1252, ja_JP.UTF-8 932, ru_RU.UTF-8 1251). It passes
# only where the check ends with the exit code expected, having printed its summary line first (or, with --expect,
# that text), and, where it cannot run (exit code 2), no FAILED row.
# - --launcher <file>: that file is put in the unpacked folder and checked, as a packager who checks another build
#   would.
# - --damage <file>: that file of the unpacked folder is cut to its first 1,024 bytes first.
# - --kill-cases: the check runs under a name of its own, and the newer of its two processes, the one that runs the
#   cases, is killed once they have begun; the folder that the run named must be gone afterwards.
# usage: run_check.sh <quorventine-check.zip> <locale> <exit code> [--expect <text>] [--damage <file>] [--kill-cases]
#                     [--launcher <file>] [the check's arguments]
#        (WINEPREFIX: a prefix whose server runs; QV_RUN_AS: a command that runs wine as another user, whose HOME
#        and prefix these are)
set -euo pipefail
zip=$(readlink -f "$1") locale=$2 expected=$3
shift 3
expect='' damage='' program=quorventine-check.exe
while :; do
  case "${1:-}" in
    --expect) expect=$2; shift 2 ;;
    --damage) damage=$2; shift 2 ;;
    --kill-cases) program=quorventine-check-killed-$$.exe; shift ;;
    *) break ;;
  esac
done
unpacked=$(mktemp -d)
chmod 755 "$unpacked"
trap 'rm -rf "$unpacked"' EXIT
(cd "$unpacked" && cmake -E tar xf "$zip")
if [ "${1:-}" = --launcher ]; then
  cp "$2" "$unpacked/quorventine-check/under-test.exe"
  set -- --launcher under-test.exe "${@:3}"
fi
cd "$unpacked/quorventine-check"
[ -z "$damage" ] || truncate -s 1024 "$damage"
[ "$program" = quorventine-check.exe ] || cp quorventine-check.exe "$program"
run_wine() {
  ${QV_RUN_AS:-} env -i PATH="$PATH" HOME="$HOME" WINEPREFIX="$WINEPREFIX" WINEDEBUG=-all LC_ALL="$locale" wine "$@"
}
status=0
run_wine "$program" "$@" >output.txt 2>&1 &
if [ "$program" != quorventine-check.exe ]; then
  for _ in $(seq 600); do grep -q '^  2nd drive:' output.txt && break; sleep 0.1; done
  sleep 1
  pkill -KILL -n -f "$program" || echo "run_check: no process of $program to kill" >&2
fi
wait $! || status=$?
cat output.txt
if [ -n "$expect" ]; then
  grep -qF -- "$expect" output.txt || { echo "run_check: no line saying: $expect" >&2; exit 1; }
else
  grep -qE '^[0-9]+ cases: [0-9]+ passed, [0-9]+ skipped, [0-9]+ failed$' output.txt ||
    { echo "run_check: no summary line" >&2; exit 1; }
fi
[ "$status" = "$expected" ] || { echo "run_check: exit code $status, expected $expected" >&2; exit 1; }
[ "$expected" != 2 ] || ! grep -q '^FAILED' output.txt || { echo "run_check: FAILED rows where the check cannot run" >&2; exit 1; }
folder=$(sed -n 's/^  folder: *//p' output.txt | tr -d '\r')
[ "$program" = quorventine-check.exe ] || { [ -n "$folder" ] && [ ! -e "$(run_wine winepath -u "$folder")" ]; } ||
  { echo "run_check: the killed run's folder is still there: $folder" >&2; exit 1; }
