#!/usr/bin/env bash
# Builds what a release ships from two fresh clones of the current commit, made at different
# times in folders of different depth, with the README's release steps as written and no
# SOURCE_DATE_EPOCH set, and compares the bytes: the Windows executable, or the Linux executable
# and its Debian package. The second Windows build is signed, as a release is, with a throwaway
# identity: with its signature removed (osslsigncode remove-signature) it must be the first one's
# bytes. On a difference it prints what diffoscope finds and fails.
#
#     scripts/check-reproducible.sh windows|linux [CMAKE_OPTIONS...]
#
# CMAKE_OPTIONS are the release's own (its key or signer, its version floor). Anyone can rebuild a
# published release this way from its commit and compare.
set -euo pipefail

cd "$(dirname "$0")/.."
source scripts/debian-packages.sh

platform=${1:-}
case $platform in
windows | linux) shift ;;
*)
    echo "usage: $0 windows|linux [CMAKE_OPTIONS...]" >&2
    exit 2
    ;;
esac
# The build takes the commit's time itself, as a release build by hand does.
unset SOURCE_DATE_EPOCH
commit=$(git rev-parse HEAD)

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# A fresh clone of the commit in DIR: its files carry the time of the clone.
clone() {  # DIR
    git clone --quiet --no-hardlinks --no-checkout "$PWD" "$1"
    git -C "$1" checkout --quiet "$commit"
}

# Builds in SOURCE/build-release what a release of the platform ships, with the README's
# commands; prints the files to compare.
build_release() {  # SOURCE [CMAKE_OPTIONS...]
    local source=$1
    shift
    (
        cd "$source"
        if [[ $platform == windows ]]; then
            cmake -S . -B build-release --toolchain cmake/mingw-w64.cmake \
                -DCMAKE_BUILD_TYPE=Release "$@" >/dev/null
            cmake --build build-release -j"$(nproc)" --target KorvaneDownloader >/dev/null
        else
            cmake -S . -B build-release -DCMAKE_BUILD_TYPE=Release "$@" >/dev/null
            cmake --build build-release -j"$(nproc)" >/dev/null
            cpack -G DEB --config build-release/CPackConfig.cmake -B build-release >/dev/null
        fi
    )
    if [[ $platform == windows ]]; then
        echo KorvaneDownloader.exe
    else
        echo KorvaneDownloader
        (cd "$source/build-release" && ls korvane-downloader_*.deb)
    fi
}

first=$work/a
second=$work/deeper/by/three/b
clone "$first"
mapfile -t files < <(build_release "$first" "$@")
sleep 1  # a second later at least: any time taken from the clock or the files would differ
clone "$second"
if [[ $platform == windows ]]; then
    openssl req -x509 -newkey rsa:2048 -noenc -keyout "$work/signer.key" -out "$work/signer.pem" \
        -subj "/CN=Reproducibility check" -days 1 -addext keyUsage=critical,digitalSignature \
        -addext extendedKeyUsage=codeSigning 2>/dev/null
    openssl pkcs12 -export -inkey "$work/signer.key" -in "$work/signer.pem" -passout pass: \
        -out "$work/signer.p12"
    build_release "$second" "$@" -DKORVANE_CODESIGN_PKCS12="$work/signer.p12" \
        -DKORVANE_CODESIGN_VERIFY_CA="$work/signer.pem" >/dev/null
    mv "$second/build-release/KorvaneDownloader.exe" "$work/signed.exe"
    osslsigncode remove-signature -in "$work/signed.exe" \
        -out "$second/build-release/KorvaneDownloader.exe" >/dev/null
else
    build_release "$second" "$@" >/dev/null
fi

status=0
for file in "${files[@]}"; do
    if cmp -s "$first/build-release/$file" "$second/build-release/$file"; then
        echo "$file: identical ($(sha256sum <"$first/build-release/$file" | cut -d' ' -f1))"
    else
        echo "$file: DIFFERS" >&2
        install_missing_packages diffoscope-minimal >&2
        diffoscope "$first/build-release/$file" "$second/build-release/$file" >&2 || true
        status=1
    fi
done
exit "$status"
