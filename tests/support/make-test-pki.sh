#!/usr/bin/env bash
# Makes the certificates of the local test servers in OUTDIR:
#   ca.pem/.key          the test certificate authority
#   localhost.pem/.key   127.0.0.1 and localhost, signed by the test CA
#   otherhost.pem/.key   other.example only, signed by the test CA
#   selfsigned.pem/.key  127.0.0.1, signed by itself
#   rogue-ca.pem/.key    a second certificate authority, trusted by nothing
#   rogue.pem/.key       127.0.0.1 and localhost, signed by the rogue CA
# and the code-signing identities that sign the stand-in setup programs:
#   codesign-ca.pem/.key          the authority that the test build pins for the maker's signer
#   codesign.pem/.key             "Korvane test publisher", code signing, by that authority
#   codesign-othername.pem/.key   "Korvane test other publisher", code signing, by that authority
#   codesign-nousage.pem/.key     "Korvane test publisher", no code-signing usage, by that authority
#   codesign-rogue-ca.pem/.key    an authority of the same name as codesign-ca, trusted by nothing
#   codesign-rogue.pem/.key       "Korvane test publisher", code signing, by the rogue authority
#   codesign.p12                  the maker's key and chain as a release holds them, password
#                                 "korvane-test", to sign the test build's executable with
#   timestamp.pem/.key            a time-stamping authority, by the code-signing authority
# A complete, valid set is left alone (only touched, so that build tools see it as fresh); anything
# less is made again from scratch, so that every certificate always chains to the CA beside it.
set -euo pipefail

if [[ $# -ne 1 ]]; then
    echo "usage: $0 OUTDIR" >&2
    exit 2
fi
mkdir -p "$1"
out_dir=$(cd "$1" && pwd)  # the work below happens in another directory
days=3650
files=(ca.key ca.pem localhost.key localhost.pem otherhost.key otherhost.pem selfsigned.key
       selfsigned.pem rogue-ca.key rogue-ca.pem rogue.key rogue.pem
       codesign-ca.key codesign-ca.pem codesign.key codesign.pem codesign-othername.key
       codesign-othername.pem codesign-nousage.key codesign-nousage.pem codesign-rogue-ca.key
       codesign-rogue-ca.pem codesign-rogue.key codesign-rogue.pem codesign.p12 timestamp.key
       timestamp.pem)

complete_and_valid() {
    local name
    for name in "${files[@]}"; do
        [[ -s "$out_dir/$name" ]] || return 1
    done
    openssl verify -x509_strict -purpose sslserver -CAfile "$out_dir/ca.pem" \
        "$out_dir/localhost.pem" "$out_dir/otherhost.pem" >/dev/null 2>&1 || return 1
    openssl verify -x509_strict -purpose sslserver -CAfile "$out_dir/rogue-ca.pem" \
        "$out_dir/rogue.pem" >/dev/null 2>&1 || return 1
    openssl verify -x509_strict -CAfile "$out_dir/codesign-ca.pem" "$out_dir/codesign.pem" \
        "$out_dir/codesign-othername.pem" "$out_dir/codesign-nousage.pem" >/dev/null 2>&1 || return 1
    openssl verify -x509_strict -CAfile "$out_dir/codesign-rogue-ca.pem" \
        "$out_dir/codesign-rogue.pem" >/dev/null 2>&1 || return 1
    openssl verify -x509_strict -purpose timestampsign -CAfile "$out_dir/codesign-ca.pem" \
        "$out_dir/timestamp.pem" >/dev/null 2>&1 || return 1
    # Still valid in a year: a set about to expire is made again.
    local cert
    for cert in ca localhost otherhost selfsigned rogue-ca rogue codesign-ca codesign \
        codesign-othername codesign-nousage codesign-rogue-ca codesign-rogue timestamp; do
        openssl x509 -in "$out_dir/$cert.pem" -noout -checkend $((365 * 24 * 3600)) >/dev/null ||
            return 1
    done
}

mkdir -p "$out_dir"
if complete_and_valid; then
    for name in "${files[@]}"; do
        touch "$out_dir/$name"
    done
    exit 0
fi

work_dir=$(mktemp -d "$out_dir/.pki.XXXXXX")
trap 'rm -rf "$work_dir"' EXIT
cd "$work_dir"

# A configuration of our own, so that the system's openssl.cnf adds no extensions of its own.
cat >openssl.cnf <<'EOF'
[req]
distinguished_name = dn
prompt = no
[dn]
[ca]
basicConstraints = critical, CA:TRUE
keyUsage = critical, keyCertSign, cRLSign
subjectKeyIdentifier = hash
[localhost]
basicConstraints = critical, CA:FALSE
keyUsage = critical, digitalSignature, keyEncipherment
extendedKeyUsage = serverAuth
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
subjectAltName = IP:127.0.0.1, DNS:localhost
[otherhost]
basicConstraints = critical, CA:FALSE
keyUsage = critical, digitalSignature, keyEncipherment
extendedKeyUsage = serverAuth
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
subjectAltName = DNS:other.example
[rogue]
basicConstraints = critical, CA:FALSE
keyUsage = critical, digitalSignature, keyEncipherment
extendedKeyUsage = serverAuth
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
subjectAltName = IP:127.0.0.1, DNS:localhost
[selfsigned]
basicConstraints = critical, CA:FALSE
keyUsage = critical, digitalSignature, keyEncipherment
extendedKeyUsage = serverAuth
subjectKeyIdentifier = hash
subjectAltName = IP:127.0.0.1
[codesign]
basicConstraints = critical, CA:FALSE
keyUsage = critical, digitalSignature
extendedKeyUsage = codeSigning
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
[timestamp]
basicConstraints = critical, CA:FALSE
keyUsage = critical, digitalSignature
extendedKeyUsage = critical, timeStamping
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
[codesign-nousage]
basicConstraints = critical, CA:FALSE
keyUsage = critical, digitalSignature
extendedKeyUsage = emailProtection
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
EOF
export OPENSSL_CONF=$work_dir/openssl.cnf

new_key() {
    openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:2048 -out "$1.key" 2>/dev/null
    chmod 600 "$1.key"
}

new_request() {  # NAME SUBJECT
    openssl req -new -config openssl.cnf -key "$1.key" -subj "$2" -out "$1.csr"
}

serial() {
    echo "0x$(openssl rand -hex 16)"
}

# Signs NAME.csr with the extensions of section NAME: by the CA, by its own key with "self", or
# by the certificate authority named.
sign() {  # NAME [self|CA]
    local signer=(-CA ca.pem -CAkey ca.key)
    if [[ ${2:-} == self ]]; then
        signer=(-signkey "$1.key")
    elif [[ -n ${2:-} ]]; then
        signer=(-CA "$2.pem" -CAkey "$2.key")
    fi
    openssl x509 -req -in "$1.csr" "${signer[@]}" -set_serial "$(serial)" -days "$days" -sha256 \
        -extfile openssl.cnf -extensions "$1" -out "$1.pem" 2>/dev/null
}

new_key ca
new_request ca "/O=Korvane test/CN=Korvane test CA"
sign ca self

new_key localhost
new_request localhost "/O=Korvane test/CN=127.0.0.1"
sign localhost

new_key otherhost
new_request otherhost "/O=Korvane test/CN=other.example"
sign otherhost

new_key selfsigned
new_request selfsigned "/O=Korvane test/CN=127.0.0.1"
sign selfsigned self

# The extensions of section "ca", under the same name as the real CA's: only the key differs.
new_key rogue-ca
new_request rogue-ca "/O=Korvane test/CN=Korvane test CA"
openssl x509 -req -in rogue-ca.csr -signkey rogue-ca.key -set_serial "$(serial)" -days "$days" \
    -sha256 -extfile openssl.cnf -extensions ca -out rogue-ca.pem 2>/dev/null

new_key rogue
new_request rogue "/O=Korvane test/CN=localhost"
sign rogue rogue-ca

openssl verify -x509_strict -purpose sslserver -CAfile ca.pem localhost.pem otherhost.pem >/dev/null
openssl verify -x509_strict -purpose sslserver -CAfile rogue-ca.pem rogue.pem >/dev/null

# The code-signing authority and, under the same name with a key of its own, the rogue one.
for name in codesign-ca codesign-rogue-ca; do
    new_key "$name"
    new_request "$name" "/O=Korvane test/CN=Korvane test code-signing CA"
    openssl x509 -req -in "$name.csr" -signkey "$name.key" -set_serial "$(serial)" -days "$days" \
        -sha256 -extfile openssl.cnf -extensions ca -out "$name.pem" 2>/dev/null
done

# Signs NAME.csr as a code-signing certificate with the extensions of SECTION, by AUTHORITY.
sign_code_signer() {  # NAME SUBJECT SECTION AUTHORITY
    new_key "$1"
    new_request "$1" "$2"
    openssl x509 -req -in "$1.csr" -CA "$4.pem" -CAkey "$4.key" -set_serial "$(serial)" \
        -days "$days" -sha256 -extfile openssl.cnf -extensions "$3" -out "$1.pem" 2>/dev/null
}
sign_code_signer codesign "/O=Korvane test/CN=Korvane test publisher" codesign codesign-ca
sign_code_signer codesign-othername "/O=Korvane test/CN=Korvane test other publisher" codesign \
    codesign-ca
sign_code_signer codesign-nousage "/O=Korvane test/CN=Korvane test publisher" codesign-nousage \
    codesign-ca
sign_code_signer codesign-rogue "/O=Korvane test/CN=Korvane test publisher" codesign \
    codesign-rogue-ca

openssl verify -x509_strict -CAfile codesign-ca.pem codesign.pem codesign-othername.pem \
    codesign-nousage.pem >/dev/null
openssl verify -x509_strict -CAfile codesign-rogue-ca.pem codesign-rogue.pem >/dev/null

sign_code_signer timestamp "/O=Korvane test/CN=Korvane test time-stamping authority" timestamp \
    codesign-ca
openssl verify -x509_strict -purpose timestampsign -CAfile codesign-ca.pem timestamp.pem >/dev/null

openssl pkcs12 -export -inkey codesign.key -in codesign.pem -certfile codesign-ca.pem \
    -name "Korvane test publisher" -passout pass:korvane-test -out codesign.p12
chmod 600 codesign.p12

# ca.pem last: it is the file the build waits for.
for name in "${files[@]}"; do
    [[ $name == ca.pem ]] || mv -f "$name" "$out_dir/$name"
done
mv -f ca.pem "$out_dir/ca.pem"
