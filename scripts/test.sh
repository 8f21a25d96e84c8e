#!/bin/bash
# Installs what building, running and testing need and is missing (apt-get
# through sudo where the user is not root), builds, and runs every test: the
# full suite (unit and end-to-end, against private PulseAudio and PipeWire
# servers), the unit tests under AddressSanitizer and
# UndefinedBehaviorSanitizer, and the threaded tests under ThreadSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc)

bash scripts/deps.sh build run test

echo "== build and run all tests"
if ! command -v pulseaudio >/dev/null; then
  echo "pulseaudio is not installed (where it would remove the desktop's PipeWire it is left out):" \
    "the PulseAudio-server tests are skipped"
fi
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBUILD_TESTING=ON -DBUILD_BENCHMARKS=ON
cmake --build build -j "$jobs"
(cd build && ctest --output-on-failure)

echo "== unit tests under AddressSanitizer and UndefinedBehaviorSanitizer"
cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug \
  -DSANITIZE=address,undefined,float-cast-overflow -DBUILD_TESTING=ON -DBUILD_BENCHMARKS=OFF
cmake --build build-asan -j "$jobs"
(cd build-asan && ASAN_OPTIONS=detect_leaks=0 UBSAN_OPTIONS=print_stacktrace=1 \
  ctest -L unit --output-on-failure)

echo "== threaded tests under ThreadSanitizer"
cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSANITIZE=thread -DBUILD_TESTING=ON \
  -DBUILD_BENCHMARKS=OFF
cmake --build build-tsan -j "$jobs"
(cd build-tsan && TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" \
  ctest -L stress --output-on-failure)
