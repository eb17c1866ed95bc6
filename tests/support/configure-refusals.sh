#!/usr/bin/env bash
# Checks that CMake refuses to configure a build whose maker's signer or code-signing identity is
# half named, named twice, or named for a system that cannot use it, whose setup program's version
# floor does not read, or that is optimised and names no key or signer, and says why:
#
#     configure-refusals.sh SOURCE_DIR CA_PEM
set -euo pipefail

if [[ $# -ne 2 ]]; then
    echo "usage: $0 SOURCE_DIR CA_PEM" >&2
    exit 2
fi
source_dir=$1
ca=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0

# Configures a fresh tree with ARGUMENTS and expects the refusal MESSAGE.
expect_refusal() {  # MESSAGE ARGUMENTS...
    local message=$1 tree
    shift
    tree=$(mktemp -d "$work/tree.XXXXXX")
    if cmake -S "$source_dir" -B "$tree" "$@" >"$tree.log" 2>&1; then
        echo "FAILED: configured with $*" >&2
        failures=$((failures + 1))
    elif ! tr -s ' \n' ' ' <"$tree.log" | grep -qF "$message"; then
        echo "FAILED: $* was refused without \"$message\":" >&2
        cat "$tree.log" >&2
        failures=$((failures + 1))
    fi
}

windows=(--toolchain "$source_dir/cmake/mingw-w64.cmake")
expect_refusal "KORVANE_SETUP_SIGNER_NAME needs KORVANE_SETUP_SIGNER_CA" \
    "${windows[@]}" -DKORVANE_SETUP_SIGNER_NAME="Korvane test publisher"
expect_refusal "KORVANE_SETUP_SIGNER_CA needs KORVANE_SETUP_SIGNER_NAME" \
    "${windows[@]}" -DKORVANE_SETUP_SIGNER_CA="$ca"
expect_refusal "which only the Windows build checks" \
    -DKORVANE_SETUP_SIGNER_NAME="Korvane test publisher" -DKORVANE_SETUP_SIGNER_CA="$ca"
expect_refusal "KORVANE_CODESIGN_PKCS12: only the Windows executable is signed" \
    -DKORVANE_CODESIGN_PKCS12="$ca"
expect_refusal "name one code-signing identity, not two" "${windows[@]}" \
    -DKORVANE_CODESIGN_PKCS12="$ca" -DKORVANE_CODESIGN_PKCS11_MODULE=/usr/lib/softhsm/libsofthsm2.so
expect_refusal "A key on a token needs" "${windows[@]}" \
    -DKORVANE_CODESIGN_PKCS11_MODULE=/usr/lib/softhsm/libsofthsm2.so \
    -DKORVANE_CODESIGN_PKCS11_KEY="pkcs11:object=maker"
expect_refusal "go with a code-signing identity" "${windows[@]}" \
    -DKORVANE_CODESIGN_TIMESTAMP_URL=http://127.0.0.1:1
expect_refusal "KORVANE_CODESIGN_PKCS12: no file" "${windows[@]}" \
    -DKORVANE_CODESIGN_PKCS12="$work/missing.p12"
for type in Release RelWithDebInfo MinSizeRel; do
    expect_refusal "This build names no KORVANE_SETUP_PUBLIC_KEY" -DCMAKE_BUILD_TYPE=$type
    expect_refusal "This build names no KORVANE_SETUP_SIGNER_NAME" "${windows[@]}" \
        -DCMAKE_BUILD_TYPE=$type
done
for floor in 2.4 2.4.0.0.0 2.4.x.0 2.4.0.65536 " 2.4.0.0"; do
    expect_refusal "the setup program's version floor \"$floor\"" -DKORVANE_SETUP_MIN_VERSION="$floor"
done

if ((failures > 0)); then
    exit 1
fi
echo "19 passed, 0 failed"
