#!/usr/bin/env bash
# Builds quorventine-check.zip from a fresh clone of the committed HEAD as a user who is not root, with the commands
# of the README's block for it, as they stand there: the packages that its first line installs must already be
# installed (tools/setup.sh installs them), and the rest runs as the user nobody, in a home of its own.
# usage: tools/zip-as-user.sh   (as root, in a clone of this repository)
set -euo pipefail
cd "$(dirname "$0")/.."
# The indented block that builds the check's zip: the lines from the package install to the one naming the zip.
block=$(awk '/^    sudo apt-get install .*googletest/ { on = 1 } on && !/^    / { exit } on { sub(/^    /, ""); print }' README.md)
grep -q -- '-DQUORVENTINE_TESTS=ON' <<<"$block" || { echo "zip-as-user: no block in README.md builds the zip" >&2; exit 1; }
packages=$(head -n 1 <<<"$block" | sed 's/^sudo apt-get install //')
for package in $packages; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'ok installed' ||
    { echo "zip-as-user: the README's package $package is not installed (tools/setup.sh should install it)" >&2; exit 1; }
done

home=$(mktemp -d)
trap 'rm -rf "$home"' EXIT
chmod 755 "$home"
git clone -q --no-hardlinks . "$home/clone"
chown -R nobody: "$home"
echo "zip-as-user: as nobody, in a fresh clone of $(git rev-parse --short HEAD):"
tail -n +2 <<<"$block" | sed 's/^/  /'
started=$(date +%s)
(cd "$home/clone" && setpriv --reuid="$(id -u nobody)" --regid="$(id -g nobody)" --clear-groups \
  env -i PATH="$PATH" HOME="$home" bash -euo pipefail -c "$(tail -n +2 <<<"$block")")
zip=$home/clone/build/check/dist/quorventine-check.zip
listed=$(cmake -E tar tf "$zip" | sort)
for file in quorventine-check.exe quorventine.exe {x86,x64,arm64}/quorventine.exe {x86,x64,arm64}/probe_lib.dll; do
  grep -qx "quorventine-check/$file" <<<"$listed" || { echo "zip-as-user: the zip lacks $file" >&2; exit 1; }
done
echo "zip-as-user: built $(stat -c %s "$zip") bytes in $(($(date +%s) - started)) s, with every file"
