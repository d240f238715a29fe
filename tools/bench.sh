#!/usr/bin/env bash
# Runs the benchmark under Wine in the build tree's prefix; the results go to bench/. Then measures the CPU
# that a launcher uses while it waits 10 s for a lock, from the Linux side (Wine reports no CPU times for
# other processes); under an emulator this includes the emulation.
set -eu
build=$1
export WINEPREFIX=$PWD/$build/wineprefix QV_SCRATCH=$PWD/$build/scratch
export QV_LAUNCHER=$PWD/dist/quorventine.exe QV_FLOOR=$PWD/$build/floor.exe QV_PROBE=$PWD/$build/probe.exe
export QV_PREVIOUS=${2:-}  # an earlier launcher, measured in the same rounds where given
tools/wine.sh start
trap 'tools/wine.sh stop' EXIT
tools/wine.sh "$build/bench.exe" bench

install=$QV_SCRATCH/waiting
mkdir -p "$install/bin"
cp "$QV_LAUNCHER" "$install/start.exe"
cp "$QV_PROBE" "$install/bin/quorventine.exe"
touch "$install/quorventine.lock"
tools/wine.sh 'Q:\waiting\start.exe' &
sleep 2  # past its start-up
pid=$(pgrep -f 'Q:.waiting.start.exe' | head -n 1)
cpu() { awk '{ print $14 + $15 }' "/proc/$pid/stat"; }
before=$(cpu)
sleep 10
after=$(cpu)
rm "$install/quorventine.lock"
wait
ms=$(( (after - before) * 1000 / $(getconf CLK_TCK) ))
result="$ms ms CPU in 10 s: $(awk "BEGIN { printf \"%.2f\", $ms / 100 }")% of a core"
printf '%-44s %-40s %s\n' "CPU while waiting 10 s" "$result" "< 1% of a core"
echo "| CPU while waiting 10 s | $result | < 1% of a core |" >>bench/results.md
