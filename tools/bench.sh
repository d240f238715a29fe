#!/usr/bin/env bash
# Runs the benchmark under Wine in the build tree's prefix; the results go to bench/.
set -eu
build=$1
export WINEPREFIX=$PWD/$build/wineprefix QV_SCRATCH=$PWD/$build/scratch
export QV_LAUNCHER=$PWD/dist/quorventine.exe QV_PROBE=$PWD/$build/sample_app.exe
tests/wine-prefix.sh start
trap 'tests/wine-prefix.sh stop' EXIT
tests/wine-run.sh "$build/bench.exe" bench
