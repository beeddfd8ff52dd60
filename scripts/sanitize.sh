#!/bin/sh
# Builds and runs the test suite under a sanitizer.
# Usage: scripts/sanitize.sh address   (AddressSanitizer + UndefinedBehaviorSanitizer)
#        scripts/sanitize.sh thread    (ThreadSanitizer)
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
kind=${1:-address}
dir="$root/build-$kind"
"$root/scripts/build.sh" "$dir" -DORV_SANITIZE="$kind"

export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1:strict_string_checks=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1:suppressions=$root/scripts/tsan.supp"
ctest --test-dir "$dir" --output-on-failure -j 2 --timeout 600 -LE "no-${kind}|no-sanitizer"
