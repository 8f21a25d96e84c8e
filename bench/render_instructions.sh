#!/bin/bash
# Instructions per frame of renderStream, engine against the plain per-sample
# translation, counted by callgrind (repeatable on a busy machine).
# Per frame = (count for 11 buffers - count for 1 buffer) / (10 * 8192).
# Usage: bench/render_instructions.sh [build dir]   (default: build)
set -euo pipefail
build=${1:-build}
bin="$build/bench/render_frames"
[ -x "$bin" ] || { echo "build $bin first" >&2; exit 1; }

count() {  # mode state buffers -> total instructions
  local out
  out=$(mktemp)
  valgrind --tool=callgrind --callgrind-out-file="$out" "$bin" "$1" "$2" "$3" >/dev/null 2>&1
  grep '^summary:' "$out" | awk '{print $2}'
  rm -f "$out"
}

printf '%-6s %14s %14s %8s\n' state engine plain ratio
for state in drone lfos noise; do
  e1=$(count engine $state 1); e11=$(count engine $state 11)
  p1=$(count plain $state 1); p11=$(count plain $state 11)
  awk -v s=$state -v e1="$e1" -v e11="$e11" -v p1="$p1" -v p11="$p11" 'BEGIN {
    e = (e11 - e1) / 81920; p = (p11 - p1) / 81920;
    printf "%-6s %14.1f %14.1f %8.3f\n", s, e, p, e / p }'
done
