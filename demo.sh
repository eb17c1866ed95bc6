#!/usr/bin/env bash
# Shows the program at work against a local download server: installs what is missing (Debian 12),
# builds the program for a download host on 127.0.0.1 with a certificate authority of its own,
# serves a stand-in setup program slowly enough to watch, runs the program in a window (on Xvfb when
# there is no display), takes screenshots and reports what happened. Works as root and, through
# sudo, as a normal user. Everything it starts is stopped when it ends.
set -euo pipefail

cd "$(dirname "$0")"
source scripts/debian-packages.sh
readonly source_dir=$PWD
readonly build_dir=$source_dir/build-demo
readonly run_dir=$build_dir/run
readonly screenshot_dir=$build_dir/screenshots
readonly setup_size=$((4 * 1024 * 1024))  # bytes of the served setup program
readonly rate=448k                         # nginx's pace: about ten seconds for the whole file
readonly packages=(
    build-essential cmake
    qt6-base-dev qt6-qpa-plugins libcurl4-openssl-dev libssl-dev
    openssl ca-certificates python3
    nginx-light
    xvfb x11-utils imagemagick  # a display when there is none, and screenshots
)

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

build_program() {  # PORT
    tests/support/make-test-pki.sh "$build_dir/pki" >/dev/null
    cmake -S . -B "$build_dir" -DKORVANE_BUILD_TESTS=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DKORVANE_DOWNLOAD_HOST="127.0.0.1:$1" -DKORVANE_TRUSTED_CA="$build_dir/pki/ca.pem" >/dev/null
    cmake --build "$build_dir" -j"$(nproc)" --target KorvaneDownloader
}

# The stand-in setup program, padded after its end so that the download takes a while.
make_setup_program() {  # FILE
    cp tests/support/demo-setup.sh "$1"
    local padding=$((setup_size - $(stat -c %s "$1")))
    head -c "$padding" < <(yes '# padding to make the download last long enough to watch') >>"$1"
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

main() {
    install_missing_packages "${packages[@]}"
    rm -rf "$run_dir" "$screenshot_dir"
    mkdir -p "$run_dir/www" "$run_dir/bin" "$run_dir/tmp" "$screenshot_dir"

    local port
    port=$(free_port)
    build_program "$port"
    make_setup_program "$run_dir/www/KorvaneSetup.exe"
    start_nginx "$port" "$run_dir/www"
    say "serving https://127.0.0.1:$port/KorvaneSetup.exe ($setup_size bytes at $rate/s)"
    ensure_display

    # A copy of its own, since the program writes the TLS libraries beside itself.
    cp "$build_dir/KorvaneDownloader" "$run_dir/bin/"
    TMPDIR=$run_dir/tmp QT_QPA_PLATFORM=xcb "$run_dir/bin/KorvaneDownloader" \
        >"$run_dir/program.log" 2>&1 &
    local program=$!
    started_pids+=("$program")

    shots=()
    local second=0
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
    local status=0
    wait "$program" || status=$?
    sleep 0.5  # the setup program writes its record as it starts
    screenshot after-launch

    echo
    say "the program exited with code $status"
    local record=$run_dir/tmp/KorvaneSetup.started
    if [[ -s $record ]]; then
        say "the setup program ran with $(head -n 1 "$record") argument(s):"
        tail -n +2 "$record" | sed 's/^/    /'
    else
        say "the setup program did not run; the program's output:"
        sed 's/^/    /' "$run_dir/program.log"
    fi
    say "TLS libraries written beside the program: $(cd "$run_dir/bin" && echo lib*.so.3)"
    say "screenshots:"
    printf '    %s\n' "${shots[@]}"
}

main "$@"
