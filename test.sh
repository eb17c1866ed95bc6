#!/usr/bin/env bash
# Installs what the build and the tests need (Debian 12), builds the test configuration and runs
# every test. Works as root and, through sudo, as a normal user.
set -euo pipefail

cd "$(dirname "$0")"
source scripts/debian-packages.sh

readonly build_dir=build-tests
readonly packages=(
    build-essential cmake
    qt6-base-dev libcurl4-openssl-dev libssl-dev libgtest-dev libgmock-dev
    libglib2.0-dev libpacparser-dev gsettings-desktop-schemas  # the desktop's proxy settings
    openssl ca-certificates  # the test certificates
    minisign                 # the test signing keys and signatures
    nginx-light python3      # the local test servers
    tinyproxy                # the proxy that the download goes through
    squid krb5-kdc krb5-admin-server krb5-user  # a proxy that asks for Kerberos or Basic
    xvfb x11-utils imagemagick  # the end-to-end tests' display, window list and screenshots
    at-spi2-core python3-pyatspi dbus openbox  # the window read as a screen reader reads it
    g++-mingw-w64-x86-64 wine wine64  # the Windows build and its tests under Wine
    osslsigncode             # the test setup programs and the test build, signed as their maker signs them
    softhsm2 opensc libengine-pkcs11-openssl  # a code-signing key on a (software) token
    clang libclang-rt-14-dev # libFuzzer, for the parsers of network bytes
    lintian dpkg-dev file    # the Debian package: cpack's dependency list, and its check
)

# The program follows the proxy that the environment names: the tests run without the machine's,
# and those about proxies set their own.
without_proxies() {
    env -u http_proxy -u https_proxy -u HTTPS_PROXY -u all_proxy -u ALL_PROXY \
        -u no_proxy -u NO_PROXY "$@"
}

# The tests' publisher key pair in the build tree BUILD_DIR, made before the build configures so
# that the shipped program names it, as a release names the maker's; prints the public key's path.
test_publisher_key() {  # BUILD_DIR
    tests/support/make-test-keys.sh "$1/tests/keys"
    echo "$PWD/$1/tests/keys/publisher.pub"
}

# The benchmark is built too, so that it keeps compiling; ./bench.sh runs it.
build_and_test() {
    cmake -S . -B "$build_dir" -DKORVANE_BUILD_TESTS=ON -DKORVANE_BUILD_BENCH=ON \
        -DKORVANE_WARNINGS_AS_ERRORS=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DKORVANE_SETUP_PUBLIC_KEY="$(test_publisher_key "$build_dir")"
    cmake --build "$build_dir" -j"$(nproc)"
    without_proxies ctest --test-dir "$build_dir" --output-on-failure
    # The fast tests once more with no network at all, where a network namespace can be made.
    if unshare -n true 2>/dev/null; then
        unshare -n ctest --test-dir "$build_dir" --output-on-failure -L unit
    fi
}

# The whole suite again, built with AddressSanitizer and UndefinedBehaviorSanitizer: any finding
# fails its test. Leaks are ignored only inside system libraries (tests/support/lsan.supp).
sanitizer_run() {
    cmake -S . -B build-asan -DKORVANE_BUILD_TESTS=ON -DKORVANE_SANITIZE=ON \
        -DKORVANE_WARNINGS_AS_ERRORS=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DKORVANE_SETUP_PUBLIC_KEY="$(test_publisher_key build-asan)"
    cmake --build build-asan -j"$(nproc)"
    ASAN_OPTIONS=halt_on_error=1:detect_leaks=1:detect_stack_use_after_return=1:strict_init_order=1 \
        UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
        LSAN_OPTIONS="suppressions=$PWD/tests/support/lsan.supp:print_suppressions=0" \
        without_proxies ctest --test-dir build-asan --output-on-failure
}

# The Windows executable, cross-built with mingw-w64, and its tests under Wine. One wineserver
# serves the whole run, so that no test waits for a server of its own to start and stop.
windows_build_and_test() {
    build_signed_windows_tests
    # Ended however the run ends, interrupted or not.
    trap 'tests/support/wine-session.sh stop build-win-tests/wine-prefix' EXIT
    tests/support/wine-session.sh start build-win-tests/wine-prefix
    without_proxies ctest --test-dir build-win-tests --output-on-failure
    if unshare -n true 2>/dev/null; then
        unshare -n ctest --test-dir build-win-tests --output-on-failure -L unit
    fi
}

# The tests' maker on Windows: the name of the code-signing certificate that make-test-pki.sh makes.
readonly test_signer="Korvane test publisher"

# The Windows test build signs its executable as a release does: the test PKI's maker identity
# from a PKCS#12 file, time-stamped by a local time-stamping authority that lives as long as the
# build. A rebuild by hand without that authority fails to sign: name none with
# -DKORVANE_CODESIGN_PKCS12= -DKORVANE_CODESIGN_TIMESTAMP_URL= -DKORVANE_CODESIGN_VERIFY_CA=.
build_signed_windows_tests() (
    local pki=$PWD/build-win-tests/tests/pki port_file
    tests/support/make-test-pki.sh "$pki"
    port_file=$(mktemp)
    python3 tests/support/timestamp_server.py --cert "$pki/timestamp.pem" \
        --key "$pki/timestamp.key" --chain "$pki/codesign-ca.pem" --port-file "$port_file" &
    trap "kill $!; wait; rm -f '$port_file'" EXIT
    for _ in $(seq 100); do
        [[ -s $port_file ]] && break
        sleep 0.1
    done
    [[ -s $port_file ]] || { echo "test.sh: the time-stamping authority did not start" >&2; return 1; }
    cmake -S . -B build-win-tests --toolchain cmake/mingw-w64.cmake -DKORVANE_BUILD_TESTS=ON \
        -DKORVANE_WARNINGS_AS_ERRORS=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DKORVANE_SETUP_SIGNER_NAME="$test_signer" -DKORVANE_SETUP_SIGNER_CA="$pki/codesign-ca.pem" \
        -DKORVANE_CODESIGN_PKCS12="$pki/codesign.p12" -DKORVANE_CODESIGN_VERIFY_CA="$pki/codesign-ca.pem" \
        -DKORVANE_CODESIGN_TIMESTAMP_URL="http://127.0.0.1:$(cat "$port_file")"
    KORVANE_CODESIGN_PASSWORD=korvane-test cmake --build build-win-tests -j"$(nproc)"
    # The build verified the signature; that it is there at all is checked here.
    osslsigncode verify -CAfile "$pki/codesign-ca.pem" -TSA-CAfile "$pki/codesign-ca.pem" \
        -in build-win-tests/KorvaneDownloader.exe | grep -q '^Timestamp Server Signature verification: ok'
)

# The Debian package from a Release build, checked by lintian: an error fails the run, and so does
# any hardening tag, which lintian only shows as information.
package_and_lint() {
    cmake -S . -B build-package -DCMAKE_BUILD_TYPE=Release \
        -DKORVANE_SETUP_PUBLIC_KEY="$(test_publisher_key "$build_dir")"
    cmake --build build-package -j"$(nproc)"
    rm -f build-package/*.deb
    cpack -G DEB --config build-package/CPackConfig.cmake -B build-package
    local package report
    package=$(echo build-package/*.deb)
    report=$(lintian --fail-on error --display-info "$package")
    echo "$report"
    if grep -q ': hardening-' <<<"$report"; then
        echo "test.sh: $package lacks a protection (lintian's hardening tags above)" >&2
        return 1
    fi
    # What lintian cannot see in the binary, the compile commands show.
    if python3 -c 'import json, sys; sys.exit(any("-D_FORTIFY_SOURCE=2" not in c["command"]
                   for c in json.load(open(sys.argv[1])) if "/tests/" not in c["file"]))' \
        build-package/compile_commands.json; then
        return 0
    fi
    echo "test.sh: an object of the package was compiled without _FORTIFY_SOURCE" >&2
    return 1
}

# libFuzzer over the code that reads answer headers, signatures and certificate tables, 30 seconds
# a target, starting from the inputs kept in tests/fuzz/corpus; a crash or leak fails the run.
fuzz_parsers() {
    CC=clang CXX=clang++ cmake -S tests/fuzz -B build-fuzz
    cmake --build build-fuzz -j"$(nproc)"
    tests/fuzz/run-fuzzers.sh build-fuzz 30
}

install_missing_packages "${packages[@]}"
build_and_test
package_and_lint
sanitizer_run
windows_build_and_test
# What a release ships, built twice from two fresh clones of the commit with the release steps as
# written: the same bytes.
scripts/check-reproducible.sh windows -DKORVANE_SETUP_SIGNER_NAME="$test_signer" \
    -DKORVANE_SETUP_SIGNER_CA="$PWD/build-win-tests/tests/pki/codesign-ca.pem"
scripts/check-reproducible.sh linux -DKORVANE_SETUP_PUBLIC_KEY="$(test_publisher_key "$build_dir")"
fuzz_parsers
