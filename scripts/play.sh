#!/bin/bash
# Installs what building and running need and is missing (apt-get through
# sudo where the user is not root; never a sound server, never a test tool),
# builds, and starts the synthesizer as the user who typed this.
set -euo pipefail
cd "$(dirname "$0")/.."
if [ "$(id -u)" -eq 0 ] && [ -n "${SUDO_USER:-}" ] && [ "$SUDO_USER" != root ]; then
  echo "Run this as yourself, without sudo: it asks sudo for apt-get only, and a" >&2
  echo "program run as root cannot reach your desktop's sound server." >&2
  exit 1
fi
bash scripts/deps.sh build run >&2
# The program alone: tests and benchmarks are for scripts/test.sh.
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBUILD_TESTING=OFF -DBUILD_BENCHMARKS=OFF >/dev/null
cmake --build build -j "$(nproc)" --target synth >/dev/null
exec ./build/app/synth
