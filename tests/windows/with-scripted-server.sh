#!/usr/bin/env bash
# Runs a test command against tests/support/scripted_server.py, started here on the Linux side and
# stopped when the command ends, whatever its outcome:
#
#     with-scripted-server.sh PKI_DIR COMMAND [ARGUMENTS...]
#
# The command sees each listener's port as KORVANE_PORT_<NAME> (upper case, "-" as "_":
# KORVANE_PORT_TLS_OTHERHOST), and the server's event log as KORVANE_SERVER_LOG, a path that Wine
# programs can open (Z: is Wine's drive for /). Exits with the command's exit code.
set -euo pipefail

if [[ $# -lt 2 ]]; then
    echo "usage: $0 PKI_DIR COMMAND [ARGUMENTS...]" >&2
    exit 2
fi
pki=$1
shift
here=$(cd "$(dirname "$0")" && pwd)
server=$here/../support/scripted_server.py

work=$(mktemp -d)
server_pid=
stop() {
    if [[ -n $server_pid ]]; then
        kill -TERM "$server_pid" 2>/dev/null || true
        wait "$server_pid" 2>/dev/null || true
    fi
    rm -rf "$work"
}
trap stop EXIT

mkfifo "$work/ports"
python3 "$server" --pki "$pki" --log "$work/server.log" >"$work/ports" 2>"$work/server.err" &
server_pid=$!
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
export KORVANE_SERVER_LOG="Z:${work//\//\\}\\server.log"

status=0
"$@" || status=$?
if [[ $status -ne 0 && -s $work/server.err ]]; then
    echo "--- scripted server errors" >&2
    cat "$work/server.err" >&2
fi
exit "$status"
