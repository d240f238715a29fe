#!/usr/bin/env bash
# Lays out a demo install tree (the launcher, the sample application at bin\quorventine.exe, an empty lib) and
# runs one launch on it under Wine.
set -eu
build=$1
demo=$build/demo
install="$demo/Quorventine Demo"
export WINEPREFIX=$PWD/$build/wineprefix QV_SCRATCH=$PWD/$build/scratch
rm -rf "$install"
mkdir -p "$install/bin" "$install/lib"
cp dist/quorventine.exe "$install/quorventine.exe"
cp "$build/sample_app.exe" "$install/bin/quorventine.exe"
tests/wine-prefix.sh start
trap 'tests/wine-prefix.sh stop' EXIT
echo "install tree: $install"
(cd "$demo" && "$OLDPWD/tests/wine-run.sh" "$OLDPWD/$build/run_demo.exe" "Quorventine Demo")
