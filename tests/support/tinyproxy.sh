#!/usr/bin/env bash
# Runs tinyproxy in the foreground on 127.0.0.1:PORT with a configuration of the tests' own,
# written into DIR; its log, DIR/tinyproxy.log, holds one "Request" line per request it took
# (for a tunnel: "CONNECT host:port HTTP/1.1"). With USER and PASSWORD it answers every request
# that lacks them with 407.
#
#     tinyproxy.sh DIR PORT [USER PASSWORD]
set -euo pipefail

if [[ $# -ne 2 && $# -ne 4 ]]; then
    echo "usage: $0 DIR PORT [USER PASSWORD]" >&2
    exit 2
fi
dir=$1
port=$2
mkdir -p "$dir"
{
    echo "Port $port"
    echo "Listen 127.0.0.1"
    echo "Allow 127.0.0.1"
    echo "Timeout 60"
    echo "MaxClients 16"
    echo "LogFile \"$dir/tinyproxy.log\""
    echo "LogLevel Connect"
    # Any port may be tunnelled to: the test servers listen on free ones.
    if [[ $# -eq 4 ]]; then
        echo "BasicAuth $3 $4"
    fi
} >"$dir/tinyproxy.conf"
exec /usr/bin/tinyproxy -d -c "$dir/tinyproxy.conf"
