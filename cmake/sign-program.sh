#!/usr/bin/env bash
# Signs a Windows executable in place with the maker's code-signing identity (Debian's osslsigncode,
# Authenticode over SHA-256, the certificate chain included), time-stamps it when a time-stamp
# server is named, and verifies the result. The last step of a signed build: on any failure the
# executable is removed, so that no unsigned or half-signed file passes for the build's output.
#
#     sign-program.sh EXE VERIFY_CA TIMESTAMP_URL --pkcs12 FILE
#     sign-program.sh EXE VERIFY_CA TIMESTAMP_URL --pkcs11 MODULE KEY_URI CERTS
#
# VERIFY_CA is a PEM file of the root certificates to verify the signature and its time stamp
# against (empty: the system's); TIMESTAMP_URL may be empty. The PKCS#12 file's password or the
# token's PIN, if any, comes from the environment variable KORVANE_CODESIGN_PASSWORD, never from
# the command line.
set -euo pipefail

if [[ $# -lt 5 ]]; then
    echo "usage: $0 EXE VERIFY_CA TIMESTAMP_URL (--pkcs12 FILE | --pkcs11 MODULE KEY_URI CERTS)" >&2
    exit 2
fi
program=$1 verify_ca=$2 timestamp_url=$3
shift 3
signed=$program.signing

fail() {
    echo "sign-program.sh: $*" >&2
    rm -f "$signed" "$program"
    exit 1
}
trap 'rm -f "$signed"' EXIT

identity=()
case $1 in
--pkcs12)
    [[ $# -eq 2 ]] || fail "--pkcs12 takes one file"
    identity=(-pkcs12 "$2")
    ;;
--pkcs11)
    [[ $# -eq 4 ]] || fail "--pkcs11 takes a module, a key and a certificate file"
    identity=(-pkcs11module "$2" -key "$3" -certs "$4")
    ;;
*) fail "no identity to sign with: $1" ;;
esac

timestamp=()
if [[ -n $timestamp_url ]]; then
    timestamp=(-ts "$timestamp_url")
else
    echo "sign-program.sh: $program is signed WITHOUT a time stamp: its signature stops" \
        "verifying when the certificate expires" >&2
fi
trust=()
if [[ -n $verify_ca ]]; then
    trust=(-CAfile "$verify_ca" -TSA-CAfile "$verify_ca")
fi

sign() {
    rm -f "$signed"
    osslsigncode sign "${identity[@]}" "$@" -h sha256 "${timestamp[@]}" \
        -in "$program" -out "$signed" >/dev/null
}
# The secret through a pipe: no file holds it and no process list shows it.
if [[ -n ${KORVANE_CODESIGN_PASSWORD:-} ]]; then
    printf '%s' "$KORVANE_CODESIGN_PASSWORD" | sign -readpass /dev/stdin
else
    sign </dev/null
fi || fail "osslsigncode could not sign $program"
report=$(osslsigncode verify "${trust[@]}" -in "$signed" 2>&1) ||
    fail "the signature of $program does not verify:"$'\n'"$report"
if [[ -n $timestamp_url ]] && ! grep -q '^Timestamp Server Signature verification: ok' <<<"$report"; then
    fail "the time stamp of $program does not verify:"$'\n'"$report"
fi
mv -f "$signed" "$program"
