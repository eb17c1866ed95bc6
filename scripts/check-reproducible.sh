#!/usr/bin/env bash
# Builds what a release ships twice from the same sources, in two directories of different depth,
# at different times, and compares the bytes: the Windows executable, or the Linux executable and
# its Debian package. The second Windows build is signed, as a release is, with a throwaway
# identity: with its signature removed (osslsigncode remove-signature) it must be the first one's
# bytes. On a difference it prints what diffoscope finds and fails.
#
#     scripts/check-reproducible.sh windows|linux [CMAKE_OPTIONS...]
#
# SOURCE_DATE_EPOCH is the last commit's time, as for a release; anyone can rebuild a published
# release this way from its commit and compare.
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
export SOURCE_DATE_EPOCH=${SOURCE_DATE_EPOCH:-$(git log -1 --format=%ct)}

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# The sources as they are here, builds and Git's data left out.
copy_sources() {  # DIR
    mkdir -p "$1"
    tar --exclude='./build*' --exclude=./.git -cf - . | tar -C "$1" -xf -
}

# Builds in SOURCE/build what a release of the platform ships; prints the files to compare.
build_release() {  # SOURCE [CMAKE_OPTIONS...]
    local source=$1
    shift
    if [[ $platform == windows ]]; then
        cmake -S "$source" -B "$source/build" --toolchain "$source/cmake/mingw-w64.cmake" \
            -DCMAKE_BUILD_TYPE=Release "$@" >/dev/null
        cmake --build "$source/build" -j"$(nproc)" --target KorvaneDownloader >/dev/null
        echo KorvaneDownloader.exe
    else
        cmake -S "$source" -B "$source/build" -DCMAKE_BUILD_TYPE=Release "$@" >/dev/null
        cmake --build "$source/build" -j"$(nproc)" >/dev/null
        (cd "$source/build" && cpack -G DEB >/dev/null)
        echo KorvaneDownloader
        (cd "$source/build" && ls korvane-downloader_*.deb)
    fi
}

first=$work/a
second=$work/deeper/by/three/b
copy_sources "$first"
copy_sources "$second"
mapfile -t files < <(build_release "$first" "$@")
sleep 1  # a second later: any time stamp would differ
if [[ $platform == windows ]]; then
    openssl req -x509 -newkey rsa:2048 -noenc -keyout "$work/signer.key" -out "$work/signer.pem" \
        -subj "/CN=Reproducibility check" -days 1 -addext keyUsage=critical,digitalSignature \
        -addext extendedKeyUsage=codeSigning 2>/dev/null
    openssl pkcs12 -export -inkey "$work/signer.key" -in "$work/signer.pem" -passout pass: \
        -out "$work/signer.p12"
    build_release "$second" "$@" -DKORVANE_CODESIGN_PKCS12="$work/signer.p12" \
        -DKORVANE_CODESIGN_VERIFY_CA="$work/signer.pem" >/dev/null
    mv "$second/build/KorvaneDownloader.exe" "$work/signed.exe"
    osslsigncode remove-signature -in "$work/signed.exe" -out "$second/build/KorvaneDownloader.exe" \
        >/dev/null
else
    build_release "$second" "$@" >/dev/null
fi

status=0
for file in "${files[@]}"; do
    if cmp -s "$first/build/$file" "$second/build/$file"; then
        echo "$file: identical ($(sha256sum <"$first/build/$file" | cut -d' ' -f1))"
    else
        echo "$file: DIFFERS" >&2
        install_missing_packages diffoscope-minimal >&2
        diffoscope "$first/build/$file" "$second/build/$file" >&2 || true
        status=1
    fi
done
exit "$status"
