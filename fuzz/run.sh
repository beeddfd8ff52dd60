#!/bin/sh
# Builds the fuzz targets with clang and libFuzzer in build-fuzz/ and runs
# each for SECONDS (default 60), starting from the seed corpus.
# Usage: fuzz/run.sh [SECONDS]
# New corpus entries go to build-fuzz/corpus/<target>, crashing inputs to
# fuzz-out/<target>/. Copy every crash into fuzz/regressions/<target>/ (the
# HTTP test suite replays that folder) before fixing it.
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:-60}
build="$root/build-fuzz"

CC=clang CXX=clang++ cmake -S "$root/fuzz" -B "$build" >/dev/null
cmake --build "$build" -j 2

for target in request json_depth root_wrapper proxy_header; do
  binary="$build/${target}_fuzzer"
  [ -x "$binary" ] || continue
  mkdir -p "$build/corpus/$target" "$root/fuzz-out/$target"
  echo "Fuzzing $target for $seconds s..."
  "$binary" -max_total_time="$seconds" -max_len=24000 -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
    -artifact_prefix="$root/fuzz-out/$target/" \
    "$build/corpus/$target" "$root/fuzz/corpus/$target" "$root/fuzz/regressions/$target"
done
