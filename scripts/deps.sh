#!/bin/bash
# Installs the Debian 12 packages of the named lists that are missing:
#
#   bash scripts/deps.sh build run        # what building and playing need
#   bash scripts/deps.sh build run test   # and what the tests need
#
# The lists are scripts/packages/NAME.txt, one package a line. apt-get runs
# through sudo where the user is not root, and only when something is
# missing. Nothing is installed with its recommended packages.
#
# The machine's packages are never removed or replaced: apt-get is first
# asked what it would do (-s). A package whose installation would remove an
# installed one (pulseaudio on a desktop whose PipeWire conflicts with it)
# is left out, with one line that says which packages it would remove; the
# rest of its list is installed. The tests skip what needs a package left out.
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
      [ -z "${missing[$list]}" ] || echo "  apt-get install --no-install-recommends ${missing[$list]}" >&2
    done
    exit 1
  fi
  as_root=(sudo)
fi

apt_options=(-y --no-install-recommends)

# The installed packages that installing "$@" would remove, one line.
would_remove() {
  LC_ALL=C apt-get -s "${apt_options[@]}" install "$@" 2>/dev/null |
    awk '/^Remv /{print $2}' | paste -sd' ' -
}

"${as_root[@]}" apt-get update
for list; do
  [ -n "${missing[$list]}" ] || continue
  # shellcheck disable=SC2206  # one word per package
  wanted=(${missing[$list]})
  if ! LC_ALL=C apt-get -s "${apt_options[@]}" install "${wanted[@]}" >/dev/null 2>&1 ||
      [ -n "$(would_remove "${wanted[@]}")" ]; then
    kept=()
    for p in "${wanted[@]}"; do
      if ! LC_ALL=C apt-get -s "${apt_options[@]}" install "$p" >/dev/null 2>&1; then
        echo "Not installing $p ($list): apt-get cannot install it here." >&2
      elif removed="$(would_remove "$p")" && [ -n "$removed" ]; then
        echo "Not installing $p ($list): it would remove $removed, which this machine has." >&2
      else
        kept+=("$p")
      fi
    done
    wanted=("${kept[@]}")
    if [ ${#wanted[@]} -gt 0 ] && [ -n "$(would_remove "${wanted[@]}")" ]; then
      echo "Not installing the $list list: together its packages would remove $(would_remove "${wanted[@]}")." >&2
      wanted=()
    fi
  fi
  [ ${#wanted[@]} -gt 0 ] || continue
  echo "Installing (${list}): ${wanted[*]}" >&2
  "${as_root[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install "${apt_options[@]}" "${wanted[@]}"
done
