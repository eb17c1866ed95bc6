#!/usr/bin/env bash
# Makes a Kerberos realm of the tests' own, KORVANE.TEST, in DIR and runs its KDC (MIT krb5kdc) in
# the foreground on 127.0.0.1:PORT. DIR/krb5.conf is the clients' configuration (KRB5_CONFIG: host
# names taken as they are, no DNS); the user korvane has the password in DIR/password; the proxy's
# service key, HTTP/localhost, is in DIR/proxy.keytab, readable by Squid's own user.
#
#     kerberos-realm.sh DIR PORT
set -euo pipefail

if [[ $# -ne 2 ]]; then
    echo "usage: $0 DIR PORT" >&2
    exit 2
fi
dir=$1
port=$2
readonly realm=KORVANE.TEST
mkdir -p "$dir"
cat >"$dir/krb5.conf" <<CONF
[libdefaults]
    default_realm = $realm
    rdns = false
    dns_canonicalize_hostname = false
    dns_lookup_kdc = false
    dns_lookup_realm = false
[realms]
    $realm = {
        kdc = 127.0.0.1:$port
    }
[domain_realm]
    localhost = $realm
CONF
cat >"$dir/kdc.conf" <<CONF
[kdcdefaults]
    kdc_listen = 127.0.0.1:$port
    kdc_tcp_listen = 127.0.0.1:$port
[realms]
    $realm = {
        database_name = $dir/principal
        key_stash_file = $dir/stash
        acl_file = $dir/kadm5.acl
    }
[logging]
    kdc = FILE:$dir/kdc.log
CONF
: >"$dir/kadm5.acl"
echo "korvane-user-password" >"$dir/password"
export KRB5_CONFIG=$dir/krb5.conf KRB5_KDC_PROFILE=$dir/kdc.conf
kdb5_util create -s -r "$realm" -P "korvane-master-password" >/dev/null
kadmin.local -r "$realm" -q "addprinc -pw $(cat "$dir/password") korvane" >/dev/null
kadmin.local -r "$realm" -q "addprinc -randkey HTTP/localhost" >/dev/null
kadmin.local -r "$realm" -q "ktadd -k $dir/proxy.keytab HTTP/localhost" >/dev/null
chmod 644 "$dir/proxy.keytab"
exec krb5kdc -n -r "$realm"
