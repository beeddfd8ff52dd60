#!/bin/bash
# Runs the whole benchmark: orv against nginx + FastCGI, gunicorn and a
# bare epoll ceiling, on loopback, and prints one table.  See README.md.
#
#   bench/run.sh                 full run (about 12 minutes)
#   QUICK=1 bench/run.sh         short run (about 2 minutes)
#   ORV_BIN=/path/to/orv-task-service bench/run.sh
set -euo pipefail

BENCH_DIR=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
REPO=$(dirname "$BENCH_DIR")
export ORV_BIN=${ORV_BIN:-$REPO/build/ts/orv-task-service}

# Debian packages: command -> package.
declare -A PACKAGES=(
  [ab]=apache2-utils
  [h2load]=nghttp2-client
  [nginx]=nginx-light
  [spawn-fcgi]=spawn-fcgi
  [gunicorn]=gunicorn
  [cc]=gcc
)
missing=()
for cmd in "${!PACKAGES[@]}"; do
  command -v "$cmd" >/dev/null 2>&1 || [ -x "/usr/sbin/$cmd" ] || missing+=("${PACKAGES[$cmd]}")
done
[ -f /usr/include/fcgiapp.h ] || missing+=(libfcgi-dev)
if [ ${#missing[@]} -gt 0 ]; then
  echo "installing ${missing[*]}..." >&2
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" >&2
fi

WORK=$(mktemp -d /tmp/orv-bench.XXXXXX)
PY_PID=
cleanup() {
  local status=$?
  trap - EXIT INT TERM
  if [ -n "$PY_PID" ] && kill -0 "$PY_PID" 2>/dev/null; then
    kill -TERM "$PY_PID" 2>/dev/null || true
    for _ in $(seq 50); do kill -0 "$PY_PID" 2>/dev/null || break; sleep 0.1; done
  fi
  # Whatever the harness registered and did not stop: stop it by pid, and
  # only if the pid still runs the program that was recorded for it.
  if [ -f "$WORK/pids" ]; then
    while read -r pid tag; do
      if tr '\0' ' ' <"/proc/$pid/cmdline" 2>/dev/null | grep -qF -- "$tag"; then
        kill -TERM "$pid" 2>/dev/null || true
      fi
    done <"$WORK/pids"
    sleep 1
    while read -r pid tag; do
      if tr '\0' ' ' <"/proc/$pid/cmdline" 2>/dev/null | grep -qF -- "$tag"; then
        kill -KILL "$pid" 2>/dev/null || true
      fi
    done <"$WORK/pids"
  fi
  if [ "${KEEP_WORK:-0}" = 1 ]; then
    echo "work directory kept: $WORK" >&2
  else
    rm -rf "$WORK"
  fi
  exit "$status"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

mkdir -p "$WORK/bin"
CFLAGS="-O2 -Wall -Wextra -Werror"
cc $CFLAGS -o "$WORK/bin/echo_worker" "$BENCH_DIR/echo_worker.c"
cc $CFLAGS -pthread -o "$WORK/bin/ceiling_server" "$BENCH_DIR/ceiling_server.c"
cc $CFLAGS -o "$WORK/bin/fcgi_echo" "$BENCH_DIR/fcgi_echo.c" -lfcgi

# 999 idle connections plus the benchmark's own need more than 1024
# descriptors in the daemon, which inherits this limit.
hard=$(ulimit -Hn)
if [ "$hard" = unlimited ] || [ "$hard" -ge 4096 ]; then ulimit -n 4096; fi

PYTHON=/usr/bin/python3
[ -x "$PYTHON" ] || PYTHON=python3
BENCH_WORK=$WORK BENCH_BIN=$WORK/bin BENCH_DIR=$BENCH_DIR BENCH_REPO=$REPO \
BENCH_RESULTS=${BENCH_RESULTS:-$BENCH_DIR/results} \
  "$PYTHON" "$BENCH_DIR/bench.py" &
PY_PID=$!
wait "$PY_PID"
