#!/bin/bash
# Installs the Debian 12 packages of the named lists that are missing:
#
#   bash scripts/deps.sh build run        # what building and playing need
#   bash scripts/deps.sh build run test   # and what the tests need
#
# The lists are scripts/packages/NAME.txt, one package a line. apt-get runs
# through sudo where the user is not root, and only when something is
# missing. The test list is installed without recommended packages, so that
# nothing (pipewire-alsa above all) changes the machine's sound setup.
set -euo pipefail
lists_dir="$(cd "$(dirname "$0")" && pwd)/packages"

if [ $# -eq 0 ]; then
  echo "usage: $0 build|run|test..." >&2
  exit 2
fi

missing_in() {
  local p
  # shellcheck disable=SC2013  # one package a word
  for p in $(sed -e 's/#.*//' "$lists_dir/$1.txt"); do
    if ! dpkg-query -W -f='${Status}\n' "$p" 2>/dev/null | grep -q "install ok installed"; then
      echo "$p"
    fi
  done
}

declare -A missing
any=""
for list; do
  [ -f "$lists_dir/$list.txt" ] || { echo "$0: no package list '$list'" >&2; exit 2; }
  missing[$list]="$(missing_in "$list" | paste -sd' ' -)"
  [ -z "${missing[$list]}" ] || any=1
done
[ -n "$any" ] || exit 0

as_root=()
if [ "$(id -u)" -ne 0 ]; then
  if ! command -v sudo >/dev/null; then
    echo "Missing packages; as root, run:" >&2
    for list; do
      [ -z "${missing[$list]}" ] || echo "  apt-get install ${missing[$list]}" >&2
    done
    exit 1
  fi
  as_root=(sudo)
fi

"${as_root[@]}" apt-get update
for list; do
  [ -n "${missing[$list]}" ] || continue
  options=(-y)
  [ "$list" != test ] || options+=(--no-install-recommends)
  echo "Installing (${list}): ${missing[$list]}" >&2
  # shellcheck disable=SC2086  # one word per package
  "${as_root[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install "${options[@]}" ${missing[$list]}
done
