#!/usr/bin/env bash
# The NSIS sample's update and removal under Wine (nsis_upgrade.cpp says what it shows), with the test's installers
# copied into a folder of their own, where their gates are made and the product is installed.
# usage: nsis_upgrade.sh <nsis_upgrade.exe> <folder of the test's installers> per-user|per-machine
#        (WINEPREFIX: a prefix whose server runs)
set -euo pipefail
folder=$(mktemp -d)
trap 'rm -rf "$folder"' EXIT
cp "$2/quorventine-setup-v1.exe" "$2/quorventine-setup-v2.exe" "$folder"
wine=$(dirname "$0")/../tools/wine.sh
"$wine" "$1" "$("$wine" winepath -w "$folder")" "$3"
