#!/usr/bin/env bash
# Runs a test command against tests/support/scripted_server.py and two tinyproxy instances, one
# of them asking for credentials, all started here on the Linux side and stopped when the command
# ends, whatever its outcome:
#
#     with-scripted-server.sh PKI_DIR COMMAND [ARGUMENTS...]
#
# The command sees each listener's port as KORVANE_PORT_<NAME> (upper case, "-" as "_":
# KORVANE_PORT_TLS_OTHERHOST), the proxies' ports as KORVANE_PROXY_PORT and
# KORVANE_GUARDED_PROXY_PORT, and the logs as KORVANE_SERVER_LOG, KORVANE_PROXY_LOG and
# KORVANE_GUARDED_PROXY_LOG, paths that Wine programs can open (Z: is Wine's drive for /). Exits
# with the command's exit code.
set -euo pipefail

if [[ $# -lt 2 ]]; then
    echo "usage: $0 PKI_DIR COMMAND [ARGUMENTS...]" >&2
    exit 2
fi
pki=$1
shift
here=$(cd "$(dirname "$0")" && pwd)
source "$here/../../scripts/local-servers.sh"
server=$here/../support/scripted_server.py

work=$(mktemp -d)
pids=()
stop() {
    local pid
    for pid in "${pids[@]}"; do
        kill -TERM "$pid" 2>/dev/null || true
        wait "$pid" 2>/dev/null || true
    done
    rm -rf "$work"
}
trap stop EXIT

# The path of a file under $work as Wine programs name it.
wine_path() { local path="$work/$1"; echo "Z:${path//\//\\}"; }

# Starts tests/support/tinyproxy.sh in $work/NAME on a free port; sets proxy_port.
start_proxy() {  # NAME [USER PASSWORD]
    local dir=$work/$1 attempt
    shift
    proxy_port=$(free_port)
    "$here/../support/tinyproxy.sh" "$dir" "$proxy_port" "$@" >"$dir.err" 2>&1 &
    pids+=($!)
    for attempt in $(seq 150); do
        if grep -qs "Reloading config file finished" "$dir/tinyproxy.log" &&
            port_open "$proxy_port"; then
            return
        fi
        sleep 0.1
    done
    echo "$0: tinyproxy did not start" >&2
    cat "$dir.err" "$dir/tinyproxy.log" >&2 || true
    exit 125
}

mkfifo "$work/ports"
python3 "$server" --pki "$pki" --log "$work/server.log" >"$work/ports" 2>"$work/server.err" &
pids+=($!)
if ! read -r -t 30 ports <"$work/ports"; then
    echo "$0: the scripted server did not start" >&2
    cat "$work/server.err" >&2
    exit 125
fi

while IFS='=' read -r name port; do
    export "KORVANE_PORT_$name=$port"
done < <(python3 -c '
import json, sys
for name, port in json.loads(sys.argv[1]).items():
    print(name.upper().replace("-", "_") + "=" + str(port))
' "$ports")
export KORVANE_SERVER_LOG=$(wine_path server.log)

start_proxy proxy
export KORVANE_PROXY_PORT=$proxy_port KORVANE_PROXY_LOG=$(wine_path proxy/tinyproxy.log)
start_proxy guarded-proxy korvane secret
export KORVANE_GUARDED_PROXY_PORT=$proxy_port
export KORVANE_GUARDED_PROXY_LOG=$(wine_path guarded-proxy/tinyproxy.log)

status=0
"$@" || status=$?
if [[ $status -ne 0 && -s $work/server.err ]]; then
    echo "--- scripted server errors" >&2
    cat "$work/server.err" >&2
fi
exit "$status"
