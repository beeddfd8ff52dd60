#!/bin/sh
# Configures and builds one build tree.
# Usage: scripts/build.sh [BUILD_DIR] [extra cmake arguments...]
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
dir=${1:-"$root/build"}
[ $# -gt 0 ] && shift
cmake -S "$root" -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
cmake --build "$dir" -j "$(nproc)"
