#!/usr/bin/env bash
# Instructions per sample of the ADPCM drivers, encode and decode, mono and stereo: what the
# benchmarks' conversions execute under callgrind, less the encoder's one-time table building.
# Instruction counts do not depend on what else runs on the machine, as times do.
# Usage: bench/acm/instructions.sh [build/bench/acm/acm_bench]
set -euo pipefail
bench=${1:-build/bench/acm/acm_bench}
samples=88200  # frames per channel of the benchmarks' signal

count() {  # instructions in acmStreamConvert for one iteration of the benchmarks matching $1
  local out
  out=$(mktemp)
  valgrind --tool=callgrind --callgrind-out-file="$out" --toggle-collect='acmStreamConvert*' \
    "$bench" --benchmark_filter="$1" --benchmark_min_time=0.000001 >/dev/null 2>&1
  local total once
  total=$(callgrind_annotate --auto=no "$out" 2>/dev/null | awk '/PROGRAM TOTALS/ {gsub(",", "", $1); print $1}')
  once=$(callgrind_annotate --auto=no --inclusive=yes "$out" 2>/dev/null |
    awk '/::Tables\(\) \[/ {gsub(",", "", $1); print $1; exit}')
  rm -f "$out"
  echo $((total - ${once:-0}))
}

for tag in 17 2; do
  for channels in 1 2; do
    encode=$(count "BM_Encode/tag:$tag/ch:$channels\$")
    both=$(count "BM_Decode/tag:$tag/ch:$channels\$")  # encodes once, then decodes
    n=$((samples * channels))
    awk -v t="$tag" -v c="$channels" -v e="$encode" -v d="$((both - encode))" -v n="$n" \
      'BEGIN {printf "tag %s, %s channel(s): encode %.1f, decode %.1f instructions a sample\n",
              t, c, e / n, d / n}'
  done
done
