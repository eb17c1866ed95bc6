#!/usr/bin/env bash
# Shows the program at work against a local download server: installs what is missing (Debian 12),
# builds the program for a download host on 127.0.0.1 with a certificate authority and a publisher
# key of its own, serves a stand-in setup program signed with that key slowly enough to watch, runs
# the program in a window (on Xvfb when there is no display), takes screenshots and reports what
# happened; then runs it once more against a server that refuses the download, photographs the
# failed state and closes the window through its close box, and once more so at 150 % display
# scale. On a display of its own (Xvfb) it runs
# a window manager, so that the screenshots show the frame, title and close box a user sees. Works
# as root and, through sudo, as a normal user. Everything it starts is stopped when it ends.
#
#     ./demo.sh            the Linux program
#     ./demo.sh windows    the Windows program, cross-built with mingw-w64, under Wine
set -euo pipefail

cd "$(dirname "$0")"
source scripts/debian-packages.sh
source scripts/local-servers.sh
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
    qt6-base-dev qt6-qpa-plugins libcurl4-openssl-dev libssl-dev libglib2.0-dev libpacparser-dev
    openssl ca-certificates python3 minisign
    nginx-light
    xvfb openbox wmctrl x11-utils imagemagick  # a display when there is none, and screenshots
)
readonly windows_packages=(cmake openssl python3 nginx-light xvfb openbox wmctrl x11-utils imagemagick
                           g++-mingw-w64-x86-64 wine wine64 osslsigncode)

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

wait_for() {  # SECONDS COMMAND...: true once COMMAND succeeds within SECONDS
    local deadline=$((SECONDS + $1))
    shift
    until "$@"; do
        ((SECONDS < deadline)) || return 1
        sleep 0.1
    done
}

not_running() { ! kill -0 "$1" 2>/dev/null; }

# The setup program's version that the demo serves, and the floor that its program is built with,
# as a release sets it to the setup program current at the release.
readonly setup_version=2.4.1.0 setup_min_version=2.4.0.0

# The demo's own certificate authority, and its own publisher key pair (keys/publisher.pub/.key),
# as a release build would name the maker's key.
build_program() {  # PORT
    tests/support/make-test-pki.sh "$build_dir/pki" >/dev/null
    tests/support/make-test-keys.sh "$build_dir/keys"
    cmake -S . -B "$build_dir" -DKORVANE_BUILD_TESTS=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DKORVANE_DOWNLOAD_HOST="127.0.0.1:$1" -DKORVANE_TRUSTED_CA="$build_dir/pki/ca.pem" \
        -DKORVANE_SETUP_PUBLIC_KEY="$build_dir/keys/publisher.pub" \
        -DKORVANE_SETUP_MIN_VERSION="$setup_min_version" >/dev/null
    cmake --build "$build_dir" -j"$(nproc)" --target KorvaneDownloader
}

# The maker's signer in the Windows demo: a code-signing certificate of the demo's certificates,
# made with the openssl CLI.
readonly windows_signer="Korvane test publisher"

# The Windows program, for a download host "localhost" (Wine's WinHTTP matches a certificate's host
# names only) that trusts the demo's certificate authority alone, and starts only what the demo's
# maker signed.
build_windows_program() {  # PORT
    tests/support/make-test-pki.sh "$build_dir/pki" >/dev/null
    cmake -S . -B "$build_dir" --toolchain cmake/mingw-w64.cmake -DKORVANE_BUILD_TESTS=OFF \
        -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKORVANE_DOWNLOAD_HOST="localhost:$1" \
        -DKORVANE_TRUSTED_CA="$build_dir/pki/ca.pem" \
        -DKORVANE_SETUP_SIGNER_NAME="$windows_signer" \
        -DKORVANE_SETUP_SIGNER_CA="$build_dir/pki/codesign-ca.pem" \
        -DKORVANE_SETUP_MIN_VERSION="$setup_min_version" >/dev/null
    cmake --build "$build_dir" -j"$(nproc)" --target KorvaneDownloader
}

# A Windows stand-in for the setup program: it records its command line, and its version record
# names it and its version as a release's does; padded as above, and signed as the maker signs a
# release, with Authenticode (osslsigncode).
make_windows_setup_program() {  # FILE
    sed -e "s/@original_filename@/KorvaneSetup.exe/" \
        -e "s/@file_version_line@/FILEVERSION ${setup_version//./,}/" \
        tests/support/VersionRecord.rc.in >"$1.rc"
    x86_64-w64-mingw32-windres -O coff -i "$1.rc" -o "$1.res.o"
    x86_64-w64-mingw32-g++-posix -std=c++20 -O2 -static -municode \
        tests/windows/RecordCommandLine.cpp "$1.res.o" -o "$1.unsigned"
    rm -f "$1.rc" "$1.res.o"
    local padding=$((setup_size - $(stat -c %s "$1.unsigned")))
    head -c "$padding" /dev/zero >>"$1.unsigned"
    rm -f "$1"
    osslsigncode sign -certs "$build_dir/pki/codesign.pem" -key "$build_dir/pki/codesign.key" \
        -h sha256 -n "Korvane demo setup program" -in "$1.unsigned" -out "$1" >/dev/null
    rm -f "$1.unsigned"
}

# The stand-in setup program, padded after its end so that the download takes a while, and signed
# as the maker signs a release: KorvaneSetup.exe.minisig beside it, whose trusted comment names the
# file and its version.
make_setup_program() {  # FILE
    cp tests/support/demo-setup.sh "$1"
    local padding=$((setup_size - $(stat -c %s "$1")))
    head -c "$padding" < <(yes '# padding to make the download last long enough to watch') >>"$1"
    minisign -S -s "$build_dir/keys/publisher.key" -m "$1" \
        -t "$(printf 'timestamp:%s\tfile:KorvaneSetup.exe\tversion:%s' "$(date +%s)" "$setup_version")" \
        >/dev/null
}

start_nginx() {  # PORT DOCROOT
    local dir=$run_dir/nginx
    # At the demo's pace; the refused run turns the download away while run_dir/refuse-download
    # exists.
    write_nginx_config "$dir" "$build_dir/pki" "$2" "$1" "" "" \
        "limit_rate $rate; location = /KorvaneSetup.exe { if (-f \"$run_dir/refuse-download\") { return 403; } }"
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
    Xvfb -displayfd 3 -screen 0 1600x900x24 -nolisten tcp -noreset 3>"$number_file" 2>"$run_dir/xvfb.log" &
    started_pids+=($!)
    wait_for 10 test -s "$number_file" || { say "Xvfb did not start"; exit 1; }
    export DISPLAY=":$(head -n 1 "$number_file")"
    say "started Xvfb on $DISPLAY"
    start_window_manager
}

window_manager_running() { wmctrl -m >/dev/null 2>&1; }

# Openbox with its stock settings, except a title bar of the window's icon, title and close box
# (the only button the program asks for) in a larger font. Its configuration and cache stay in
# the run directory.
start_window_manager() {
    local dir=$run_dir/openbox
    mkdir -p "$dir"
    sed -e 's|<titleLayout>.*</titleLayout>|<titleLayout>NLC</titleLayout>|' \
        -e '/<font place="\(Active\|Inactive\)Window">/,/<\/font>/s|<size>[0-9]*</size>|<size>10</size>|' \
        /etc/xdg/openbox/rc.xml >"$dir/rc.xml"
    XDG_CONFIG_HOME=$dir XDG_CACHE_HOME=$dir \
        openbox --sm-disable --config-file "$dir/rc.xml" >"$run_dir/openbox.log" 2>&1 &
    started_pids+=($!)
    wait_for 10 window_manager_running ||
        { say "openbox did not start:"; cat "$run_dir/openbox.log"; exit 1; }
    say "started openbox on $DISPLAY"
}

# The id of the program's window among those the window manager holds (by its class: Qt's
# "KorvaneDownloader", Wine's "korvanedownloader.exe"); nothing when there is none.
program_window() {
    wmctrl -lx 2>/dev/null | awk 'tolower($3) ~ /^korvanedownloader/ { print $1; exit }'
}

window_title() {  # WINDOW
    wmctrl -l 2>/dev/null | awk -v window="$1" '$1 == window { sub(/^[^ ]+ +[^ ]+ +[^ ]+ /, ""); print }'
}

# The window with its frame and a margin around it, as an ImageMagick geometry.
window_area() {  # WINDOW
    local x y width height left='' right='' top='' bottom='' margin=16
    read -r x y width height < <(xwininfo -id "$1" | awk '
        /Absolute upper-left X/ { x = $NF } /Absolute upper-left Y/ { y = $NF }
        /^ *Width:/ { w = $NF } /^ *Height:/ { h = $NF } END { print x, y, w, h }')
    [[ -n $height ]] || return 1
    IFS=' ,' read -r left right top bottom < <(xprop -id "$1" -notype _NET_FRAME_EXTENTS |
        sed -n 's/^_NET_FRAME_EXTENTS = //p') || true
    x=$((x - ${left:-0} - margin)) y=$((y - ${top:-0} - margin))
    width=$((width + ${left:-0} + ${right:-0} + 2 * margin))
    height=$((height + ${top:-0} + ${bottom:-0} + 2 * margin))
    echo "${width}x${height}+$((x < 0 ? 0 : x))+$((y < 0 ? 0 : y))"
}

# The program's window as the screen shows it, frame included; the whole screen when there is none.
screenshot() {  # NAME
    local file=$screenshot_dir/$1.png window area crop=()
    window=$(program_window)
    if [[ -n $window ]] && area=$(window_area "$window" 2>/dev/null); then
        crop=(-crop "$area" +repage)
    fi
    if import -window root "${crop[@]}" "$file" 2>/dev/null; then
        shots+=("$file")
    fi
}

# True once the window's title is the failed state's and its content has not changed for a
# second, at most SECONDS.
wait_for_failed_state() {  # SECONDS
    local deadline=$((SECONDS + $1)) failed_title window image previous='' unchanged=0
    failed_title=$(sed -n 's/.*sCaptionFailed, "\(.*\)")$/\1/p' texts/StatusTexts.def)
    while ((SECONDS < deadline)); do
        window=$(program_window)
        if [[ -n $window && $(window_title "$window") == "$failed_title" ]]; then
            image=$(import -window "$window" rgb:- 2>/dev/null | md5sum)
            if [[ $image == "$previous" ]]; then
                unchanged=$((unchanged + 1))
            else
                unchanged=0
            fi
            previous=$image
            ((unchanged < 4)) || return 0
        fi
        sleep 0.25
    done
    return 1
}

# Closes the window through the window manager, as its close box does; kills PID when that does
# not end it.
close_program() {  # PID
    local window
    window=$(program_window)
    if [[ -n $window ]] && wmctrl -i -c "$window" && wait_for 10 not_running "$1"; then
        return
    fi
    say "closing the window did not end the program; killing it"
    kill "$1" 2>/dev/null || true
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
        close_program "$program"
    fi
    program_status=0
    wait "$program" || program_status=$?
    sleep 0.5  # the setup program writes its record as it starts
    # What is left on the screen, if anything (a message box); an empty desktop shows nothing.
    if [[ -n $(wmctrl -l 2>/dev/null) ]]; then
        screenshot after-launch
    fi
    echo
    say "the program exited with code $program_status"
}

report_server_requests() {  # [FIRST_LINE]
    say "what the server was asked:"
    tail -n +"${1:-1}" "$run_dir/nginx/access.log" | awk '{ print "    " $6, $7, $9 }' | tr -d '"'
}

# Runs the program once more while the server refuses the download (403): photographs the failed
# state, with both buttons, as NAME.png and closes the window. COMMAND starts the program in its
# place; RECORD is where the stand-in setup program would record its start.
run_refused() {  # COMMAND RECORD NAME
    local first_request program status=0
    echo
    say "the same program while the server refuses the download ($3):"
    rm -f "$2"
    touch "$run_dir/refuse-download"
    first_request=$(($(wc -l <"$run_dir/nginx/access.log") + 1))
    "$1" >"$run_dir/program-refused.log" 2>&1 &
    program=$!
    started_pids+=("$program")
    if wait_for_failed_state 30; then
        say "the window shows the failed state: \"$(window_title "$(program_window)")\""
    else
        say "the window did not show the failed state within 30 s"
    fi
    screenshot "$3"
    close_program "$program"
    wait "$program" || status=$?
    say "the program exited with code $status after its window was closed"
    report_server_requests "$first_request"
    if [[ -s $2 ]]; then
        say "the setup program ran all the same"
    else
        say "the setup program did not run"
    fi
}

# A temporary and a data directory of the demo's own, so that nothing of the user's is touched.
# The program follows the proxy the environment names; the demo's server is reached directly.
linux_program() {
    TMPDIR=$run_dir/tmp XDG_DATA_HOME=$run_dir/data QT_QPA_PLATFORM=xcb \
        no_proxy=127.0.0.1 NO_PROXY=127.0.0.1 exec "$build_dir/KorvaneDownloader"
}

# Qt scales the whole window by this factor, as for a display at 150 %.
linux_program_at_150_percent() {
    export QT_SCALE_FACTOR=1.5
    linux_program
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

    linux_program >"$run_dir/program.log" 2>&1 &
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
        say "the setup program was started after its signature by $(sed -n 1p "$build_dir/keys/publisher.pub" | sed 's/.*key //') held, naming it KorvaneSetup.exe $setup_version (the build's floor: $setup_min_version)"
    fi
    say "TLS libraries written into the data directory: $(cd "$run_dir/data/korvane" 2>/dev/null && echo lib*.so.3)"

    run_refused linux_program "$record" refused-100-percent
    run_refused linux_program_at_150_percent "$record" refused-150-percent
    say "screenshots:"
    printf '    %s\n' "${shots[@]}"
}

# The demo prefix: the program's windows managed by the window manager, which stacks, focuses and
# closes them as on a desktop (a tool window keeps the caption Wine draws for it), and Wine's own
# Marlett registered, the font of the caption buttons: Debian's Wine does not load the fonts of
# its data directory, and the close box would show the letter "r"; the display at 96 DPI.
configure_wine_prefix() {
    wine_registry add 'HKCU\Software\Wine\AppDefaults\KorvaneDownloader.exe\X11 Driver' \
        /v Managed /d Y /f
    wine_registry add 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\Fonts' \
        /v 'Marlett (TrueType)' /d 'Z:\usr\share\wine\fonts\marlett.ttf' /f
    # 100 %, whatever an earlier demo left.
    wine_registry add 'HKCU\Control Panel\Desktop' /v LogPixels /t REG_DWORD /d 96 /f
}

wine_registry() {  # reg's ARGUMENTS...
    env WINEPREFIX="$KORVANE_WINEPREFIX" TMPDIR=/tmp WINEDEBUG=-all /usr/lib/wine/wine64 reg "$@" \
        >/dev/null
}

# The stand-in records its command line into the run directory.
windows_program() {
    local record=$run_dir/setup-started.txt
    KORVANE_TEST_RECORD="Z:${record//\//\\}" exec tests/support/wine-run.sh \
        "$build_dir/KorvaneDownloader.exe"
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
    configure_wine_prefix
    local record=$run_dir/setup-started.txt
    windows_program >"$run_dir/program.log" 2>&1 &
    local program=$!
    started_pids+=("$program")
    shots=()
    watch_program "$program"

    if [[ -s $record ]]; then
        say "the setup program ran with the command line:"
        sed 's/^/    /' "$record"
        say "it was started after its Authenticode signature by \"$windows_signer\" held, over a version record naming it KorvaneSetup.exe $setup_version (the build's floor: $setup_min_version)"
    else
        say "the setup program did not run"
    fi
    report_server_requests

    run_refused windows_program "$record" refused-100-percent
    # Wine's display at 144 DPI, as Windows at 150 %, for the programs started from now on.
    wine_registry add 'HKCU\Control Panel\Desktop' /v LogPixels /t REG_DWORD /d 144 /f
    run_refused windows_program "$record" refused-150-percent
    say "screenshots:"
    printf '    %s\n' "${shots[@]}"
}

case $platform in
linux) run_linux ;;
windows) run_windows ;;
esac
