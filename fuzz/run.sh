#!/bin/sh
# Builds the fuzz targets with clang and libFuzzer in build-fuzz/ and runs
# each for SECONDS (default 60), starting from the seed corpus, as many at
# once as there are cores (ORV_FUZZ_JOBS), so each has a core to itself.
# Usage: fuzz/run.sh [SECONDS]
# New corpus entries go to build-fuzz/corpus/<target>, crashing inputs to
# fuzz-out/<target>/. Copy every crash into fuzz/regressions/<target>/ (the
# HTTP test suite replays that folder) before fixing it.
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:-60}
jobs=${ORV_FUZZ_JOBS:-$(nproc)}
build="$root/build-fuzz"

CC=clang CXX=clang++ cmake -S "$root/fuzz" -B "$build" >/dev/null
cmake --build "$build" -j "$(nproc)"

# One target, its output in build-fuzz/<target>.log.
fuzz() {
  mkdir -p "$build/corpus/$1" "$root/fuzz-out/$1"
  "$build/${1}_fuzzer" -max_total_time="$seconds" -max_len=24000 -timeout=10 -rss_limit_mb=2048 \
    -print_final_stats=1 -artifact_prefix="$root/fuzz-out/$1/" \
    "$build/corpus/$1" "$root/fuzz/corpus/$1" "$root/fuzz/regressions/$1" >"$build/$1.log" 2>&1
}

# Waits for the batch started last and shows each target's output in turn.
failed=0
finish() {
  for started in $batch; do
    if wait "${started%%:*}"; then status=0; else status=$?; fi
    target=${started#*:}
    echo "Fuzzing $target for $seconds s:"
    cat "$build/$target.log"
    if [ "$status" -ne 0 ]; then
      echo "$target failed (exit status $status); the input is in fuzz-out/$target/" >&2
      failed=1
    fi
  done
  batch=""
}

batch=""
running=0
for target in request json_depth root_wrapper proxy_header; do
  [ -x "$build/${target}_fuzzer" ] || continue
  fuzz "$target" &
  batch="$batch $!:$target"
  running=$((running + 1))
  if [ "$running" -ge "$jobs" ]; then
    finish
    running=0
  fi
done
finish
exit "$failed"
