#!/bin/sh
# The whole test suite on a fresh Debian 12 machine, as root: installs what is
# missing, builds, runs every test, then the AddressSanitizer and
# UndefinedBehaviorSanitizer build of the suite, then a short pass of each
# fuzz target (ORV_FUZZ_SECONDS each, default 30).
# The suite is built in build-test with the Debian package's layout and
# flags (scripts/package.sh), so that the package its tests check,
# install, run and purge is made of the programs the suite tested, and
# nothing is compiled twice for it.
# Set ORV_SKIP_SANITIZERS=1 to skip the sanitizer build, ORV_FUZZ_SECONDS=0
# to skip fuzzing.
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
tree="$root/build-test"

# Runs one step and says how long it took.
step() {
  name=$1
  shift
  started=$(date +%s)
  "$@"
  echo "== $name: $(($(date +%s) - started)) s"
}

step "Dependencies" "$root/scripts/install-deps.sh"
step "Build" env ORV_PACKAGE_BUILD_DIR="$tree" ORV_BUILD_TESTS=ON "$root/scripts/package.sh" --build-only
step "Tests" ctest --test-dir "$tree" --output-on-failure -j 2 --timeout 300

if [ "${ORV_SKIP_SANITIZERS:-0}" != 1 ]; then
  step "AddressSanitizer build and tests" "$root/scripts/sanitize.sh" address
fi

fuzz_seconds=${ORV_FUZZ_SECONDS:-30}
if [ "$fuzz_seconds" -gt 0 ]; then
  step "Fuzzing" "$root/fuzz/run.sh" "$fuzz_seconds"
fi
