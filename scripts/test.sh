#!/bin/sh
# The whole test suite on a fresh Debian 12 machine, as root: installs what is
# missing, builds, runs every test, then the AddressSanitizer and
# UndefinedBehaviorSanitizer build of the suite.
# Set ORV_SKIP_SANITIZERS=1 to run the plain suite only.
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/install-deps.sh"

"$root/scripts/build.sh" "$root/build"
ctest --test-dir "$root/build" --output-on-failure -j 2 --timeout 300

if [ "${ORV_SKIP_SANITIZERS:-0}" != 1 ]; then
  "$root/scripts/sanitize.sh" address
fi
