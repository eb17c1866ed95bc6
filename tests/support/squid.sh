#!/usr/bin/env bash
# Runs Squid in the foreground on 127.0.0.1:PORT with a configuration of the tests' own, written
# into DIR, as a proxy that asks who the user is:
#   negotiate KEYTAB   Kerberos (Negotiate) with the service key HTTP/localhost in KEYTAB, in the
#                      realm of the KRB5_CONFIG that Squid is started with
#   basic USER PASSWORD  Basic, for that one user
# Its log, DIR/logs/access.log, holds a line per request: Squid's result and the status, the
# method, the address and the user ("TCP_TUNNEL/200 CONNECT 127.0.0.1:47443 korvane@KORVANE.TEST").
#
#     squid.sh DIR PORT negotiate KEYTAB | basic USER PASSWORD
set -euo pipefail

if [[ $# -lt 4 ]]; then
    echo "usage: $0 DIR PORT negotiate KEYTAB | basic USER PASSWORD" >&2
    exit 2
fi
dir=$1
port=$2
scheme=$3
mkdir -p "$dir"
# Squid works as its own user, "proxy": its files and the way to them are open to it.
chmod 755 "$dir"
case $scheme in
negotiate)
    authentication="auth_param negotiate program /usr/lib/squid/negotiate_kerberos_auth -s GSS_C_NO_NAME -k $4
auth_param negotiate children 2
auth_param negotiate keep_alive on"
    ;;
basic)
    printf '%s:%s\n' "$4" "$(openssl passwd -apr1 "$5")" >"$dir/passwords"
    chmod 644 "$dir/passwords"
    authentication="auth_param basic program /usr/lib/squid/basic_ncsa_auth $dir/passwords
auth_param basic children 2"
    ;;
*)
    echo "$0: unknown scheme $scheme" >&2
    exit 2
    ;;
esac
mkdir -p "$dir/logs"
chmod 777 "$dir/logs"
cat >"$dir/squid.conf" <<CONF
http_port 127.0.0.1:$port
pid_filename $dir/logs/squid.pid
logformat korvane %Ss/%03>Hs %rm %ru %un
access_log stdio:$dir/logs/access.log korvane
cache_log $dir/logs/cache.log
cache_store_log none
cache deny all
coredump_dir $dir/logs
pinger_enable off
shutdown_lifetime 1 seconds
$authentication
acl authenticated proxy_auth REQUIRED
http_access allow authenticated
http_access deny all
CONF
exec /usr/sbin/squid -N -f "$dir/squid.conf"
