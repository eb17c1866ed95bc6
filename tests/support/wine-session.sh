#!/usr/bin/env bash
# Keeps one wineserver, with Wine's services and desktop process, running for a prefix while a
# test run lasts, so that each test program does not start them anew (and wait for them).
#
#     wine-session.sh start PREFIX   # before ctest
#     wine-session.sh stop PREFIX    # after it, also when it failed
#
# PREFIX is the one wine-run.sh uses (KORVANE_WINEPREFIX, or BUILD_TREE/wine-prefix).
set -euo pipefail

readonly wineserver=/usr/lib/wine/wineserver64
here=$(cd "$(dirname "$0")" && pwd -P)
readonly here

if [[ $# -ne 2 || ($1 != start && $1 != stop) ]]; then
    echo "usage: wine-session.sh start|stop PREFIX" >&2
    exit 2
fi

mkdir -p "$2"
export WINEPREFIX KORVANE_WINEPREFIX
WINEPREFIX=$(cd "$2" && pwd -P)
KORVANE_WINEPREFIX=$WINEPREFIX
export WINEDEBUG=-all
# Debian's Wine keeps the server's socket under $TMPDIR: a test with a TMPDIR of its own would
# start a second server on the same prefix.
export TMPDIR=/tmp
export WINEDLLOVERRIDES="mscoree,mshtml="
# Wine's desktop process needs a display for as long as it lives, or no program of the prefix
# can make a window; each test program itself uses a display of its own (wine-run.sh).
readonly xvfb_pid_file=$WINEPREFIX/.korvane-session-xvfb.pid
readonly keeper_fifo=$WINEPREFIX/.korvane-session-keeper

start_desktop_display() {
    local dir number=
    dir=$(mktemp -d "$WINEPREFIX/.korvane-xvfb.XXXXXX")
    mkfifo "$dir/display"
    Xvfb -displayfd 3 -screen 0 1600x900x24 -nolisten tcp -noreset 3>"$dir/display" \
        </dev/null >/dev/null 2>&1 &
    echo $! >"$xvfb_pid_file"
    read -r -t 30 number <"$dir/display" || true
    rm -rf "$dir"
    if [[ -z $number ]]; then
        echo "wine-session.sh: Xvfb did not start" >&2
        exit 1
    fi
    export DISPLAY=:$number
}

stop_desktop_display() {
    local pid
    if [[ -f $xvfb_pid_file ]]; then
        pid=$(cat "$xvfb_pid_file")
        # Only the server this script started, not a process that took its number since.
        if [[ $(cat "/proc/$pid/comm" 2>/dev/null) == Xvfb ]]; then
            kill "$pid"
        fi
        rm -f "$xvfb_pid_file"
    fi
}

stop_session() {
    # Ends every Wine process of the prefix and the server, which saves the registry on its way
    # out; nothing to end is not an error.
    "$wineserver" -k </dev/null >/dev/null 2>&1 || true
    "$wineserver" -w </dev/null >/dev/null 2>&1 || true
    stop_desktop_display
    rm -f "$keeper_fifo"
}

case $1 in
start)
    command -v Xvfb >/dev/null || {
        echo "wine-session.sh: Xvfb is missing (package xvfb)" >&2
        exit 1
    }
    # -p: the server stays after the last Wine process ends. It forks into the background;
    # with its output on /dev/null it does not hold ctest's pipes open. One left by a run that
    # never stopped it (2: already running) is replaced.
    status=0
    "$wineserver" -p </dev/null >/dev/null 2>&1 || status=$?
    if [[ $status -eq 2 ]]; then
        stop_session
        status=0
        "$wineserver" -p </dev/null >/dev/null 2>&1 || status=$?
    fi
    if [[ $status -ne 0 ]]; then
        echo "wine-session.sh: wineserver -p failed ($status) for $WINEPREFIX" >&2
        exit 1
    fi
    start_desktop_display
    # The prefix, Wine's services and its desktop process, started now with no terminal: started
    # by the first test instead, they would hold its output pipes open as long as the server
    # lives, and the desktop process would die with that test's display.
    "$here/wine-run.sh" --prepare
    # Wine ends the desktop process a second after its last other process, and the next program
    # would start it again. A cmd.exe reading a FIFO that nobody writes keeps it; wineserver -k
    # ends it. The second --prepare makes sure the desktop process runs, now that it is kept.
    rm -f "$keeper_fifo"
    mkfifo "$keeper_fifo"
    (
        exec <>"$keeper_fifo" >/dev/null 2>&1
        exec /usr/lib/wine/wine64 cmd.exe
    ) &
    "$here/wine-run.sh" --prepare
    ;;
stop)
    stop_session
    ;;
esac
