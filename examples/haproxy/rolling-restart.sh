#!/bin/sh
# Restarts orv-task-service daemons behind HAProxy one at a time, so that
# the service as a whole never stops answering:
#   1. SIGTERM: the daemon's /health turns to 503 and its port closes, so
#      HAProxy sends new requests to the others; requests in flight finish;
#   2. wait until the daemon has exited;
#   3. start it again (its launcher returns once it listens);
#   4. wait until its /health answers 200, and until HAProxy counts it UP,
#      before the next daemon goes.
#
# Usage: rolling-restart.sh DAEMONS-FILE
# Each line of DAEMONS-FILE names one daemon:
#   SERVER PID-FILE HEALTH-URL COMMAND [ARG...]
# SERVER is its name in the HAProxy backend, PID-FILE the daemon's
# --pid-file, HEALTH-URL its status listener's /health, COMMAND the full
# command line that starts it (with --pid-file). HAPROXY_STATS_URL is
# HAProxy's stats page (its CSV is read). Each wait gives up after
# RESTART_PATIENCE seconds (default 60).
set -eu

patience=${RESTART_PATIENCE:-60}
stats=${HAPROXY_STATS_URL:?set HAPROXY_STATS_URL to the stats page of HAProxy}

# Runs its arguments until they succeed, every 0.1 s, for at most $patience s.
wait_for() {
    tries=$((patience * 10))
    until "$@"; do
        tries=$((tries - 1))
        [ "$tries" -gt 0 ] || return 1
        sleep 0.1
    done
}

gone() { ! kill -0 "$1" 2>/dev/null; }
healthy() {
    code=$(curl -s -o /dev/null -w "%{http_code}" "$1")
    [ "$code" = 200 ]
}
# The backend line of the server in HAProxy's CSV: field 18 is its status.
up_in_haproxy() {
    curl -s "$stats;csv" | awk -F, -v s="$1" '$2 == s && $1 != "stats" { print $18 }' | grep -q '^UP'
}

while read -r server pid_file health command; do
    case $server in ''|'#'*) continue ;; esac
    pid=$(cat "$pid_file")
    echo "Restarting $server [$pid]..."
    kill -TERM "$pid"
    wait_for gone "$pid" || { echo "$server [$pid] did not stop" >&2; exit 1; }
    # shellcheck disable=SC2086
    $command || { echo "$server did not start" >&2; exit 1; }
    wait_for healthy "$health" || { echo "$server is not healthy" >&2; exit 1; }
    wait_for up_in_haproxy "$server" || { echo "HAProxy does not take $server back" >&2; exit 1; }
    echo "$server is back as [$(cat "$pid_file")]."
done < "$1"
