#!/bin/sh
# The main job on a fresh Debian 12 machine, as root: installs what is
# missing, builds, installs, starts orv-task-service with the bundled echo
# worker and sends it one real request.
# ORV_PORT chooses the port (default 8080).
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
port=${ORV_PORT:-8080}
service=echo

"$root/scripts/install-deps.sh"
"$root/scripts/build.sh" "$root/build"
cmake --install "$root/build" >/dev/null
mkdir -p /var/log/orv

prefix=$(sed -n 's/^CMAKE_INSTALL_PREFIX:PATH=//p' "$root/build/CMakeCache.txt")
daemon="$prefix/bin/orv-task-service"
worker="$prefix/libexec/orv/orv-echo-worker"

# The daemon's pid ends the name of its newest standard error capture.
daemon_pid() {
    target=$(readlink "/var/log/orv/$service.stderr.log" 2>/dev/null) || return 1
    pid=${target##*.}
    case $(readlink "/proc/$pid/exe" 2>/dev/null) in
        */orv-task-service) echo "$pid" ;;
        *) return 1 ;;
    esac
}

# A demo daemon left from an earlier run is stopped first, so the port is free.
if old=$(daemon_pid); then
    echo "Stopping the earlier demo daemon [$old]..."
    kill -TERM "$old"
    while [ -d "/proc/$old" ]; do sleep 0.1; done
fi

# The launcher returns once the daemon listens, or fails with its reason.
if ! "$daemon" "$service" "$port" "$worker"; then
    echo "orv-task-service did not come up; see /var/log/orv/$service.ERROR and /var/log/orv/$service.stderr.log" >&2
    exit 1
fi

echo "orv-task-service is running as [$(daemon_pid)] on port $port."
echo "Request: POST /$service/hello {\"request_id\": \"1\", \"greeting\": \"hello\"}"
printf 'Reply:   '
curl -sS -X POST -H 'Content-Type: application/json' \
    --data '{"request_id": "1", "greeting": "hello"}' "http://127.0.0.1:$port/$service/hello"
echo
cat <<EOT

Send more requests with:
    curl -X POST -H 'Content-Type: application/json' --data '{"any": "json"}' http://127.0.0.1:$port/$service/ACTION
Logs are in /var/log/orv: $service.INFO, $service.ERROR and $service.stderr.log link to the newest files.
Stop the daemon with:
    kill -TERM \$(readlink /var/log/orv/$service.stderr.log | sed 's/.*\\.//')
EOT
