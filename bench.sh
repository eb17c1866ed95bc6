#!/usr/bin/env bash
# Download benchmark: the real run path (the window with its progress display), the HTTP client
# alone and curl, each fetching files from a local nginx over HTTPS and plain HTTP, in turn within
# each repetition, each judged by its throughput next to curl's in the same repetition; what
# checking the publisher's signature costs for each file; then the window's start-up (time and
# peak memory at its first expose) next to a bare Qt window. Prints each figure next to its target,
# met or missed.
#
#   ./bench.sh [SIZE_MIB...]      sizes of the files to fetch, default: 64 256 1024
#
# BENCH_REPEAT (default 9) and BENCH_STARTUP_REPEAT (default 11) set the repetitions per figure;
# BENCH_TARGET_DIR where the downloads go (default /dev/shm, in memory). Builds
# into build-bench (Release); everything else lives in one temporary directory, removed at exit.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
build_dir=$root/build-bench
pki_dir=$build_dir/pki
keys_dir=$build_dir/keys
repeat=${BENCH_REPEAT:-9}
startup_repeat=${BENCH_STARTUP_REPEAT:-11}
source "$root/scripts/debian-packages.sh"
source "$root/scripts/local-servers.sh"
sizes=("$@")
if ((${#sizes[@]} == 0)); then
    sizes=(64 256 1024)
fi

build_bench() {
    "$root/tests/support/make-test-pki.sh" "$pki_dir"
    "$root/tests/support/make-test-keys.sh" "$keys_dir"
    # The window's download is measured over the verified connection alone: no key, on purpose.
    cmake -S "$root" -B "$build_dir" -DCMAKE_BUILD_TYPE=Release -DKORVANE_BUILD_BENCH=ON \
        -DKORVANE_TRUSTED_CA="$pki_dir/ca.pem" -DKORVANE_ALLOW_UNVERIFIED_SETUP=ON >/dev/null
    cmake --build "$build_dir" -j2 --target korvane_bench >/dev/null
}

make_files() {
    local size
    mkdir -p "$docroot"
    for size in "${sizes[@]}"; do
        head -c "$((size * 1024 * 1024))" /dev/urandom >"$docroot/$size.bin"
        minisign -S -s "$keys_dir/publisher.key" -m "$docroot/$size.bin" >/dev/null
    done
    # Written back to disk now rather than half a minute later, under the measurements.
    sync "$docroot"/*
}

start_nginx() {
    https_port=$(free_port)
    http_port=$(free_port)
    # Files straight from the page cache to the socket where nginx can: the fastest it serves.
    write_nginx_config "$work/nginx" "$pki_dir" "$docroot" "$https_port" "$http_port" \
        'sendfile on; tcp_nopush on;'
    /usr/sbin/nginx -p "$work/nginx" -e "$work/nginx/error.log" -c "$work/nginx/nginx.conf" &
    nginx_pid=$!
    local probe=${sizes[0]}.bin attempt
    for attempt in $(seq 100); do
        if curl -sf -o /dev/null --cacert "$pki_dir/ca.pem" "https://127.0.0.1:$https_port/$probe" -r 0-0 &&
            curl -sf -o /dev/null "http://127.0.0.1:$http_port/$probe" -r 0-0; then
            return
        fi
        kill -0 "$nginx_pid" 2>/dev/null || break
        sleep 0.1
    done
    echo "bench.sh: nginx did not start" >&2
    cat "$work/nginx/error.log" >&2 || true
    exit 1
}

cleanup() {
    if [[ -n ${nginx_pid:-} ]]; then
        kill "$nginx_pid" 2>/dev/null || true
        wait "$nginx_pid" 2>/dev/null || true
    fi
    if [[ -n ${downloads:-} ]]; then
        rm -rf "$downloads"
    fi
    if [[ -n ${work:-} ]]; then
        rm -rf "$work"
    fi
}

install_missing_packages build-essential cmake qt6-base-dev libcurl4-openssl-dev libssl-dev \
    libglib2.0-dev libpacparser-dev openssl \
    nginx-light curl python3 minisign
build_bench
# The program and curl follow the proxy the environment names; the local nginx is reached
# directly.
export no_proxy=127.0.0.1 NO_PROXY=127.0.0.1

trap cleanup EXIT
trap 'exit 130' INT TERM
work=$(mktemp -d "${TMPDIR:-/tmp}/korvane-bench.XXXXXX")
docroot=$work/files
make_files
start_nginx
# Downloads go to memory (/dev/shm) when there is such a place, so that the figures measure the
# download path and not this machine's disk; BENCH_TARGET_DIR names another directory.
target_parent=${BENCH_TARGET_DIR:-/dev/shm}
[[ -d $target_parent && -w $target_parent ]] || target_parent=$work
downloads=$(mktemp -d "$target_parent/korvane-downloads.XXXXXX")
# Qt's children want a private runtime directory; none is set up for a root shell.
export XDG_RUNTIME_DIR=$work/runtime
mkdir -m 700 "$XDG_RUNTIME_DIR"

files=()
for size in "${sizes[@]}"; do
    files+=("$size.bin")
done
echo "korvane_bench: $(nproc) cores, $(curl --version | head -n 1 | cut -d' ' -f1-5)"
"$build_dir/bench/korvane_bench" --cacert "$pki_dir/ca.pem" \
    --https "https://127.0.0.1:$https_port" --http "http://127.0.0.1:$http_port" \
    --docroot "$docroot" --target-dir "$downloads" --public-key "$keys_dir/publisher.pub" \
    --repeat "$repeat" --startup-repeat "$startup_repeat" "${files[@]}"
