#!/usr/bin/env bash
# Shows the program at work against a local download server: installs what is missing (Debian 12),
# builds the program for a download host on 127.0.0.1 with a certificate authority and a publisher
# key of its own, serves a stand-in setup program signed with that key slowly enough to watch, runs
# the program in a window (on Xvfb when there is no display), takes screenshots and reports what
# happened. Works as root and, through sudo, as a normal user. Everything it starts is stopped when
# it ends.
#
#     ./demo.sh            the Linux program
#     ./demo.sh windows    the Windows program, cross-built with mingw-w64, under Wine
set -euo pipefail

cd "$(dirname "$0")"
source scripts/debian-packages.sh
readonly source_dir=$PWD
readonly platform=${1:-linux}
case $platform in
linux) readonly build_dir=$source_dir/build-demo ;;
windows) readonly build_dir=$source_dir/build-demo-win ;;
*)
    echo "usage: $0 [linux|windows]" >&2
    exit 2
    ;;
esac
readonly run_dir=$build_dir/run
readonly screenshot_dir=$build_dir/screenshots
readonly setup_size=$((4 * 1024 * 1024))  # bytes of the served setup program
readonly rate=448k                         # nginx's pace: about ten seconds for the whole file
readonly packages=(
    build-essential cmake
    qt6-base-dev qt6-qpa-plugins libcurl4-openssl-dev libssl-dev
    openssl ca-certificates python3 minisign
    nginx-light
    xvfb x11-utils imagemagick  # a display when there is none, and screenshots
)
readonly windows_packages=(cmake openssl python3 nginx-light xvfb imagemagick
                           g++-mingw-w64-x86-64 wine wine64)

say() { echo "demo.sh: $*"; }

# Processes this script started, stopped in reverse order on the way out.
started_pids=()
stop_everything() {
    local index
    for ((index = ${#started_pids[@]} - 1; index >= 0; index--)); do
        kill "${started_pids[index]}" 2>/dev/null || true
        wait "${started_pids[index]}" 2>/dev/null || true
    done
}
trap stop_everything EXIT

free_port() {
    /usr/bin/python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

wait_for() {  # SECONDS COMMAND...: true once COMMAND succeeds within SECONDS
    local deadline=$((SECONDS + $1))
    shift
    until "$@"; do
        ((SECONDS < deadline)) || return 1
        sleep 0.1
    done
}

port_open() { (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null; }

# The demo's own certificate authority, and its own publisher key pair (keys/publisher.pub/.key),
# as a release build would name the maker's key.
build_program() {  # PORT
    tests/support/make-test-pki.sh "$build_dir/pki" >/dev/null
    tests/support/make-test-keys.sh "$build_dir/keys"
    cmake -S . -B "$build_dir" -DKORVANE_BUILD_TESTS=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DKORVANE_DOWNLOAD_HOST="127.0.0.1:$1" -DKORVANE_TRUSTED_CA="$build_dir/pki/ca.pem" \
        -DKORVANE_SETUP_PUBLIC_KEY="$build_dir/keys/publisher.pub" >/dev/null
    cmake --build "$build_dir" -j"$(nproc)" --target KorvaneDownloader
}

# The Windows program, for a download host "localhost" (Wine's WinHTTP matches a certificate's host
# names only) that trusts the demo's certificate authority alone. The Windows build checks no
# publisher signature: the pinned, verified TLS connection vouches for the file.
build_windows_program() {  # PORT
    tests/support/make-test-pki.sh "$build_dir/pki" >/dev/null
    cmake -S . -B "$build_dir" --toolchain cmake/mingw-w64.cmake -DKORVANE_BUILD_TESTS=OFF \
        -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKORVANE_DOWNLOAD_HOST="localhost:$1" \
        -DKORVANE_TRUSTED_CA="$build_dir/pki/ca.pem" >/dev/null
    cmake --build "$build_dir" -j"$(nproc)" --target KorvaneDownloader
}

# A Windows stand-in for the setup program: it records its command line; padded as above.
make_windows_setup_program() {  # FILE
    x86_64-w64-mingw32-g++-posix -std=c++20 -O2 -static -municode \
        tests/windows/RecordCommandLine.cpp -o "$1"
    local padding=$((setup_size - $(stat -c %s "$1")))
    head -c "$padding" /dev/zero >>"$1"
}

# The stand-in setup program, padded after its end so that the download takes a while, and signed
# as the maker signs a release: KorvaneSetup.exe.minisig beside it.
make_setup_program() {  # FILE
    cp tests/support/demo-setup.sh "$1"
    local padding=$((setup_size - $(stat -c %s "$1")))
    head -c "$padding" < <(yes '# padding to make the download last long enough to watch') >>"$1"
    minisign -S -s "$build_dir/keys/publisher.key" -m "$1" -t "Korvane demo setup program" >/dev/null
}

start_nginx() {  # PORT DOCROOT
    local dir=$run_dir/nginx
    mkdir -p "$dir"
    cat >"$dir/nginx.conf" <<EOF
daemon off;
master_process off;
worker_processes 1;
pid "$dir/nginx.pid";
error_log "$dir/error.log" notice;
events { worker_connections 64; }
http {
    types {}
    default_type application/octet-stream;
    access_log "$dir/access.log";
    client_body_temp_path "$dir/client_body";
    proxy_temp_path "$dir/proxy";
    fastcgi_temp_path "$dir/fastcgi";
    uwsgi_temp_path "$dir/uwsgi";
    scgi_temp_path "$dir/scgi";
    server {
        listen 127.0.0.1:$1 ssl;
        ssl_certificate "$build_dir/pki/localhost.pem";
        ssl_certificate_key "$build_dir/pki/localhost.key";
        root "$2";
        limit_rate $rate;
    }
}
EOF
    /usr/sbin/nginx -p "$dir/" -c "$dir/nginx.conf" -e "$dir/error.log" &
    started_pids+=($!)
    wait_for 10 port_open "$1" || { say "nginx did not start:"; cat "$dir/error.log"; exit 1; }
}

# Sets DISPLAY to a fresh Xvfb unless there is a display already.
ensure_display() {
    if [[ -n ${DISPLAY:-} ]]; then
        say "using the display $DISPLAY"
        return
    fi
    local number_file=$run_dir/xvfb-display
    Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$number_file" 2>"$run_dir/xvfb.log" &
    started_pids+=($!)
    wait_for 10 test -s "$number_file" || { say "Xvfb did not start"; exit 1; }
    export DISPLAY=":$(head -n 1 "$number_file")"
    say "started Xvfb on $DISPLAY"
}

screenshot() {  # NAME
    local file=$screenshot_dir/$1.png
    if import -window root "$file" 2>/dev/null; then
        shots+=("$file")
    fi
}

# Takes a screenshot every two seconds while PID runs, for at most 60 s; closes it if still up.
watch_program() {  # PID
    local program=$1 second=0
    while kill -0 "$program" 2>/dev/null && ((second < 60)); do
        sleep 1
        second=$((second + 1))
        if ((second % 2 == 0)) && kill -0 "$program" 2>/dev/null; then
            screenshot "during-$(printf %02d "$second")s"
        fi
    done
    if kill -0 "$program" 2>/dev/null; then
        say "the program is still up after ${second}s (a failure shown?); closing it"
        screenshot still-up
        kill "$program"
    fi
    program_status=0
    wait "$program" || program_status=$?
    sleep 0.5  # the setup program writes its record as it starts
    screenshot after-launch
    echo
    say "the program exited with code $program_status"
}

report_server_requests() {
    say "what the server was asked:"
    awk '{ print "    " $6, $7, $9 }' "$run_dir/nginx/access.log" | tr -d '"'
}

run_linux() {
    install_missing_packages "${packages[@]}"
    rm -rf "$run_dir" "$screenshot_dir"
    mkdir -p "$run_dir/www" "$run_dir/data" "$run_dir/tmp" "$screenshot_dir"

    local port
    port=$(free_port)
    build_program "$port"
    make_setup_program "$run_dir/www/KorvaneSetup.exe"
    start_nginx "$port" "$run_dir/www"
    say "serving https://127.0.0.1:$port/KorvaneSetup.exe ($setup_size bytes at $rate/s)"
    ensure_display

    # A temporary and a data directory of the demo's own, so that nothing of the user's is touched.
    TMPDIR=$run_dir/tmp XDG_DATA_HOME=$run_dir/data QT_QPA_PLATFORM=xcb \
        "$build_dir/KorvaneDownloader" >"$run_dir/program.log" 2>&1 &
    local program=$!
    started_pids+=("$program")
    shots=()
    watch_program "$program"

    local record=$run_dir/tmp/KorvaneSetup.started
    if [[ -s $record ]]; then
        say "the setup program ran with $(head -n 1 "$record") argument(s):"
        tail -n +2 "$record" | sed 's/^/    /'
    else
        say "the setup program did not run; the program's output:"
        sed 's/^/    /' "$run_dir/program.log"
    fi
    report_server_requests
    if [[ -s $record ]] && grep -q 'KorvaneSetup.exe.minisig HTTP/1.1" 200' "$run_dir/nginx/access.log"; then
        say "the setup program was started after its signature by $(sed -n 1p "$build_dir/keys/publisher.pub" | sed 's/.*key //') held"
    fi
    say "TLS libraries written into the data directory: $(cd "$run_dir/data/korvane" 2>/dev/null && echo lib*.so.3)"
    say "screenshots:"
    printf '    %s\n' "${shots[@]}"
}

run_windows() {
    install_missing_packages "${windows_packages[@]}"
    rm -rf "$run_dir" "$screenshot_dir"
    mkdir -p "$run_dir/www" "$screenshot_dir"

    local port
    port=$(free_port)
    build_windows_program "$port"
    make_windows_setup_program "$run_dir/www/KorvaneSetup.exe"
    start_nginx "$port" "$run_dir/www"
    say "serving https://localhost:$port/KorvaneSetup.exe ($setup_size bytes at $rate/s)"
    ensure_display

    # A Wine prefix of the demo's own: the download lands in its user's temporary directory.
    export KORVANE_WINEPREFIX=$build_dir/wine-prefix
    trap 'stop_everything; tests/support/wine-session.sh stop "$KORVANE_WINEPREFIX"' EXIT
    tests/support/wine-session.sh start "$KORVANE_WINEPREFIX"
    local record=$run_dir/setup-started.txt
    KORVANE_TEST_RECORD="Z:${record//\//\\}" tests/support/wine-run.sh \
        "$build_dir/KorvaneDownloader.exe" >"$run_dir/program.log" 2>&1 &
    local program=$!
    started_pids+=("$program")
    shots=()
    watch_program "$program"

    if [[ -s $record ]]; then
        say "the setup program ran with the command line:"
        sed 's/^/    /' "$record"
    else
        say "the setup program did not run"
    fi
    report_server_requests
    say "screenshots:"
    printf '    %s\n' "${shots[@]}"
}

case $platform in
linux) run_linux ;;
windows) run_windows ;;
esac
