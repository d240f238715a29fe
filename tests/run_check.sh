#!/usr/bin/env bash
# The check as a user runs it: its zip unpacked into a folder of its own outside the build tree, then
# quorventine-check.exe under Wine with nothing of ours in its environment but what Wine needs (the prefix,
# WINEDEBUG, the locale, which gives the ANSI code page: C.UTF-8 1252, ja_JP.UTF-8 932).
# usage: run_check.sh <quorventine-check.zip> <locale> [the check's arguments]   (WINEPREFIX: a prefix whose server runs)
set -euo pipefail
zip=$(readlink -f "$1")
unpacked=$(mktemp -d)
trap 'rm -rf "$unpacked"' EXIT
(cd "$unpacked" && cmake -E tar xf "$zip")
cd "$unpacked/quorventine-check"
env -i PATH="$PATH" HOME="$HOME" WINEPREFIX="$WINEPREFIX" WINEDEBUG=-all LC_ALL="$2" wine quorventine-check.exe "${@:3}"
