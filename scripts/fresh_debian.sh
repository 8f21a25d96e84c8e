#!/bin/bash
# Tries the README's two commands as a new user would: in a fresh Debian 12
# (a debootstrap of bookworm), as a normal user "alice" with sudo rights,
# each in a fresh clone of this repository's committed HEAD.
#
#   sudo bash scripts/fresh_debian.sh WORKDIR            # a bare Debian 12
#   sudo bash scripts/fresh_debian.sh --desktop WORKDIR  # with pipewire-audio first,
#                                                        # as GNOME has it
#
# WORKDIR keeps the downloaded base system (bookworm.tgz, made once) and the
# chroot of the last run (WORKDIR/root, made anew each run). Logs go to
# WORKDIR/*.log; a summary with times, package counts and disk is printed.
# Everything mounted is unmounted at the end. Needs root and debootstrap.
set -euo pipefail
desktop=""
if [ "${1:-}" = --desktop ]; then desktop=1; shift; fi
[ $# -eq 1 ] || { echo "usage: $0 [--desktop] WORKDIR" >&2; exit 2; }
[ "$(id -u)" -eq 0 ] || { echo "$0: run as root (debootstrap, chroot, mounts)" >&2; exit 2; }
work="$(mkdir -p "$1" && cd "$1" && pwd)"
repo="$(cd "$(dirname "$0")/.." && pwd)"
root="$work/root"
mirror="${MIRROR:-http://deb.debian.org/debian}"

if [ ! -f "$work/bookworm.tgz" ]; then
  debootstrap --make-tarball="$work/bookworm.tgz" bookworm "$work/download" "$mirror" >"$work/make-tarball.log"
  rm -rf "$work/download"
fi
if [ ! -d "$work/base" ]; then
  debootstrap --unpack-tarball="$work/bookworm.tgz" bookworm "$work/base" "$mirror" >"$work/base.log"
fi

mounted=()
cleanup() {
  local i
  for ((i = ${#mounted[@]} - 1; i >= 0; i--)); do umount -l "${mounted[i]}" 2>/dev/null || true; done
}
trap cleanup EXIT
mount_in() {  # mount_in TARGET ARGS...
  mkdir -p "$root/$1"
  mount "${@:2}" "$root/$1"
  mounted+=("$root/$1")
}

rm -rf "$root"
cp -a "$work/base" "$root"
mount_in proc -t proc proc
mount_in sys --rbind /sys
mount_in dev --bind /dev
mount_in dev/pts --bind /dev/pts
mount_in dev/shm -t tmpfs -o mode=1777 tmpfs
mount_in tmp -t tmpfs -o mode=1777 tmpfs
cp /etc/resolv.conf "$root/etc/resolv.conf"

in_root() { chroot "$root" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root "$@"; }
as_alice() {
  chroot "$root" /usr/bin/env -i PATH=/usr/local/bin:/usr/bin:/bin HOME=/home/alice USER=alice \
    LOGNAME=alice TERM=xterm LANG=C.UTF-8 /usr/bin/setpriv --reuid=alice --regid=alice \
    --init-groups -- /bin/bash -c "$1"
}

in_root apt-get update >"$work/setup.log"
in_root env DEBIAN_FRONTEND=noninteractive apt-get install -y sudo git >>"$work/setup.log"
in_root useradd -m -s /bin/bash -G sudo alice
echo "alice ALL=(ALL) NOPASSWD: ALL" >"$root/etc/sudoers.d/alice"
if [ -n "$desktop" ]; then
  in_root env DEBIAN_FRONTEND=noninteractive apt-get install -y pipewire-audio >>"$work/setup.log"
fi
for clone in play test play-again; do
  git clone -q "$repo" "$root/home/alice/$clone"
done
in_root chown -R alice:alice /home/alice

packages() { in_root dpkg-query -W -f='${Package}\n' | sort; }
disk() { in_root df -B1M --output=used / | tail -1; }
step() {  # step NAME COMMAND: runs COMMAND as alice, logs it, prints what it took
  local before_p before_d start status
  packages >"$work/$1.before"
  before_d=$(du -sxm "$root" | cut -f1)
  start=$(date +%s)
  status=0
  as_alice "$2" >"$work/$1.log" 2>&1 || status=$?
  packages >"$work/$1.after"
  local removed added
  removed=$(comm -23 "$work/$1.before" "$work/$1.after" | paste -sd' ' -)
  added=$(comm -13 "$work/$1.before" "$work/$1.after" | wc -l)
  printf '%-10s status %d, %4d s, %3d packages added, %5d MB more on disk, removed: %s\n' \
    "$1" "$status" $(($(date +%s) - start)) "$added" $(($(du -sxm "$root" | cut -f1) - before_d)) \
    "${removed:-none}"
}

# The program reaches its output menu; the end of input there ends it.
step play 'cd ~/play && bash scripts/play.sh </dev/null'
grep -q "1 - Direct Sound" "$work/play.log" && echo "play: the output menu was reached" ||
  echo "play: NO output menu (see $work/play.log)"
if [ -n "$desktop" ]; then
  step deps 'cd ~/test && bash scripts/deps.sh build run test'
fi
step test 'cd ~/test && bash scripts/test.sh'
tail -n 3 "$work/test.log"
step play-again 'cd ~/play-again && bash scripts/play.sh </dev/null'
grep -q "1 - Direct Sound" "$work/play-again.log" && echo "play-again: the output menu was reached" ||
  echo "play-again: NO output menu (see $work/play-again.log)"
