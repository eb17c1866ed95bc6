#!/usr/bin/env bash
# The signing step of a signed build (cmake/sign-program.sh) on a copy of a Windows executable,
# with the test PKI: the maker's PKCS#12 file and the same key on a SoftHSM token through PKCS#11,
# time-stamped by a local time-stamping authority (timestamp_server.py). A signature that holds
# leaves a file that osslsigncode verifies, by the maker and time-stamped; a wrong password, a
# time-stamp server that does not answer or a signature that does not verify against the given
# roots fail the step and leave no file at all.
#
#     sign-program-test.sh SOURCE_DIR PKI_DIR PROGRAM
set -euo pipefail

source_dir=$1 pki=$2 program=$3
sign=$source_dir/cmake/sign-program.sh
work=$(mktemp -d)
server=
cleanup() {
    [[ -z $server ]] || kill "$server" 2>/dev/null || true
    wait
    rm -rf "$work"
}
trap cleanup EXIT
failures=0
check() {  # DESCRIPTION COMMAND...
    if "${@:2}"; then
        echo "ok: $1"
    else
        echo "FAILED: $1" >&2
        failures=$((failures + 1))
    fi
}

python3 "$source_dir/tests/support/timestamp_server.py" --cert "$pki/timestamp.pem" \
    --key "$pki/timestamp.key" --chain "$pki/codesign-ca.pem" --port-file "$work/port" &
server=$!
for _ in $(seq 50); do
    [[ -s $work/port ]] && break
    sleep 0.1
done
timestamp_url=http://127.0.0.1:$(cat "$work/port")

# The same key on a token, as a release's key lives: SoftHSM's module, a token of the test's own.
export SOFTHSM2_CONF=$work/softhsm2.conf
mkdir "$work/tokens"
printf 'directories.tokendir = %s\nobjectstore.backend = file\nlog.level = ERROR\n' \
    "$work/tokens" >"$SOFTHSM2_CONF"
module=/usr/lib/softhsm/libsofthsm2.so
softhsm2-util --init-token --free --label korvane-test --so-pin 87654321 --pin 1234 >/dev/null
openssl pkcs8 -topk8 -nocrypt -in "$pki/codesign.key" -outform DER -out "$work/key.der"
pkcs11-tool --module "$module" --token-label korvane-test --login --pin 1234 \
    --write-object "$work/key.der" --type privkey --id 01 --label maker >/dev/null
cat "$pki/codesign.pem" "$pki/codesign-ca.pem" >"$work/chain.pem"
token_key="pkcs11:token=korvane-test;object=maker;type=private"

# Runs the signing step on a fresh copy, named by the case; its output in CASE.log.
sign_copy() {  # CASE PASSWORD VERIFY_CA TIMESTAMP_URL IDENTITY...
    cp "$program" "$work/$1.exe"
    KORVANE_CODESIGN_PASSWORD=$2 "$sign" "$work/$1.exe" "$3" "$4" "${@:5}" >"$work/$1.log" 2>&1
}
signed_by_maker_and_time_stamped() {  # CASE
    local report
    report=$(osslsigncode verify -CAfile "$pki/codesign-ca.pem" -TSA-CAfile "$pki/codesign-ca.pem" \
        -in "$work/$1.exe" 2>&1) &&
        grep -q 'Subject: /O=Korvane test/CN=Korvane test publisher' <<<"$report" &&
        grep -q '^Timestamp Server Signature verification: ok' <<<"$report"
}
not() {
    ! "$@"
}
refused_and_gone() {  # CASE
    ! [[ -e $work/$1.exe || -e $work/$1.exe.signing ]]
}

check "PKCS#12 with its password, time-stamped" \
    sign_copy pkcs12 korvane-test "$pki/codesign-ca.pem" "$timestamp_url" --pkcs12 "$pki/codesign.p12"
check "... signed by the maker and time-stamped" signed_by_maker_and_time_stamped pkcs12
check "the key on a token, with its PIN, time-stamped" \
    sign_copy token 1234 "$pki/codesign-ca.pem" "$timestamp_url" \
    --pkcs11 "$module" "$token_key" "$work/chain.pem"
check "... signed by the maker and time-stamped" signed_by_maker_and_time_stamped token

check "a wrong password fails" \
    not sign_copy password wrong "$pki/codesign-ca.pem" "$timestamp_url" --pkcs12 "$pki/codesign.p12"
check "... and leaves no file" refused_and_gone password
check "a wrong PIN fails" \
    not sign_copy pin 4321 "$pki/codesign-ca.pem" "$timestamp_url" \
    --pkcs11 "$module" "$token_key" "$work/chain.pem"
check "... and leaves no file" refused_and_gone pin
check "a time-stamp server that does not answer fails" \
    not sign_copy no-timestamp korvane-test "$pki/codesign-ca.pem" http://127.0.0.1:1 \
    --pkcs12 "$pki/codesign.p12"
check "... and leaves no file" refused_and_gone no-timestamp
check "a signature that does not verify against the roots given fails" \
    not sign_copy other-root korvane-test "$pki/rogue-ca.pem" "$timestamp_url" \
    --pkcs12 "$pki/codesign.p12"
check "... and leaves no file" refused_and_gone other-root
check "without a time stamp, it says so" \
    sign_copy untimed korvane-test "$pki/codesign-ca.pem" "" --pkcs12 "$pki/codesign.p12"
check "... in its output" grep -q 'WITHOUT a time stamp' "$work/untimed.log"

if [[ $failures -ne 0 ]]; then
    for log in "$work"/*.log; do
        echo "--- $(basename "$log")" >&2
        cat "$log" >&2
    done
    exit 1
fi
