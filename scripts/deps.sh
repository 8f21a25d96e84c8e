#!/bin/bash
# Installs the Debian 12 packages that building, playing and testing need,
# skipping the update when everything is already there.
set -euo pipefail

packages=(
  g++ cmake make pkg-config
  libgtest-dev libbenchmark-dev
  libsdl1.2-dev
  portaudio19-dev libasound2-dev libjack-jackd2-dev libasound2-plugins
  libdbus-1-dev
  pulseaudio pulseaudio-utils
  xvfb xdotool
  python3 python3-pexpect python3-numpy
  dbus-daemon python3-dbus python3-gi alsa-utils
  valgrind
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -gt 0 ]; then
  sudo_cmd=""
  if [ "$(id -u)" -ne 0 ]; then sudo_cmd="sudo"; fi
  echo "Installing: ${missing[*]}"
  $sudo_cmd apt-get update
  DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y "${missing[@]}"
fi
