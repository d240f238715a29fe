#!/usr/bin/env bash
# Lays out a demo install tree (the launcher, the probe at bin\quorventine.exe, its library in lib)
# whose name holds letters of several scripts, and runs two launches on it at once under Wine.
set -euo pipefail
build=$1
demo=$build/demo
name="Quorventine Demo Åłф家"
install="$demo/$name"
export WINEPREFIX=$PWD/$build/wineprefix QV_SCRATCH=$PWD/$build/scratch
rm -rf "$demo"
mkdir -p "$install/bin" "$install/lib"
cp dist/quorventine.exe "$install/quorventine.exe"
cp "$build/probe.exe" "$install/bin/quorventine.exe"
cp "$build/probe_lib.dll" "$install/lib/probe_lib.dll"
tools/wine.sh start
trap 'tools/wine.sh stop' EXIT
# Through a pipe, so that Wine hands the program's UTF-8 bytes on as they are rather than to a console.
(cd "$demo" && "$OLDPWD/tools/wine.sh" "$OLDPWD/$build/run_demo.exe" "$name" | cat)
