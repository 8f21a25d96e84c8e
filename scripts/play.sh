#!/bin/bash
# Installs what is missing, builds, and starts the synthesizer.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh >&2
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j "$(nproc)" --target synth >/dev/null
exec ./build/app/synth
