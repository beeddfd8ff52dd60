#!/bin/sh
# The main job on a fresh Debian 12 machine, as root: installs what is
# missing, builds, installs, starts orv-task-service with the bundled echo
# worker and sends it one real request. The daemon is left running, its pid
# in /run/orv-demo-echo.pid; a second run stops it first.
# ORV_PORT chooses the port (default 8080).
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
port=${ORV_PORT:-8080}
service=echo
pid_file=/run/orv-demo-$service.pid

"$root/scripts/install-deps.sh"
"$root/scripts/build.sh" "$root/build"
cmake --install "$root/build" >/dev/null
mkdir -p /var/log/orv

prefix=$(sed -n 's/^CMAKE_INSTALL_PREFIX:PATH=//p' "$root/build/CMakeCache.txt")
daemon="$prefix/bin/orv-task-service"
worker="$prefix/libexec/orv/orv-echo-worker"

# The demo daemon's pid, while the pid file names a running orv-task-service.
daemon_pid() {
    pid=$(cat "$pid_file" 2>/dev/null) || return 1
    case $(readlink "/proc/$pid/exe" 2>/dev/null) in
        */orv-task-service) echo "$pid" ;;
        *) return 1 ;;
    esac
}

# A demo daemon left from an earlier run is stopped first, so the port is free.
if old=$(daemon_pid); then
    echo "Stopping the earlier demo daemon [$old]..."
    kill -TERM "$old"
    tries=300
    while [ -d "/proc/$old" ] && [ "$tries" -gt 0 ]; do sleep 0.1; tries=$((tries - 1)); done
    if [ -d "/proc/$old" ]; then
        echo "The earlier demo daemon [$old] did not stop within 30 seconds." >&2
        exit 1
    fi
fi

# The launcher returns once the daemon listens, or fails with its reason.
if ! "$daemon" --pid-file "$pid_file" "$service" "$port" "$worker"; then
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
The daemon keeps running; its pid is in $pid_file. Stop it with:
    kill -TERM "\$(cat $pid_file)"
EOT
