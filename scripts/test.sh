#!/bin/sh
# The whole test suite on a fresh Debian 12 machine, as root: installs what is
# missing, builds, runs every test (among them: the Debian package is built
# with scripts/package.sh, checked, installed, run and purged), then the
# AddressSanitizer and UndefinedBehaviorSanitizer build of the suite, then a
# short pass of each fuzz target (ORV_FUZZ_SECONDS each, default 30).
# Set ORV_SKIP_SANITIZERS=1 to skip the sanitizer build, ORV_FUZZ_SECONDS=0
# to skip fuzzing.
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/install-deps.sh"

"$root/scripts/build.sh" "$root/build"
ctest --test-dir "$root/build" --output-on-failure -j 2 --timeout 300

if [ "${ORV_SKIP_SANITIZERS:-0}" != 1 ]; then
  "$root/scripts/sanitize.sh" address
fi

fuzz_seconds=${ORV_FUZZ_SECONDS:-30}
if [ "$fuzz_seconds" -gt 0 ]; then
  "$root/fuzz/run.sh" "$fuzz_seconds"
fi
