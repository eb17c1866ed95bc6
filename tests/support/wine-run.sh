#!/usr/bin/env bash
# Runs a Windows program under Wine and exits with its exit code: the emulator of the cross build
# (CMAKE_CROSSCOMPILING_EMULATOR), through which ctest runs each .exe test.
#
#     wine-run.sh PROGRAM.exe [ARGUMENTS...]
#     wine-run.sh --prepare   # for wine-session.sh: make the prefix, start Wine's services and
#                             # its desktop process on $DISPLAY
#
# The prefix is $KORVANE_WINEPREFIX, else "wine-prefix" at the top of the build tree that holds
# PROGRAM (the nearest folder above it with a CMakeCache.txt). It is made on first use, once, even
# when several tests start together. Without DISPLAY the program gets an Xvfb of its own, ended
# with it, so that it can make windows. Without wine-session.sh each run starts a wineserver and
# Wine's services of its own, which costs about half a second.
set -euo pipefail

readonly wine=/usr/lib/wine/wine64

fail() {
    echo "wine-run.sh: $*" >&2
    exit 125
}

[[ $# -ge 1 ]] || fail "usage: wine-run.sh PROGRAM.exe [ARGUMENTS...] | --prepare"
[[ -x $wine ]] || fail "$wine is missing (package wine64)"

build_tree_of() {
    local dir
    dir=$(cd "$(dirname "$1")" && pwd -P) || return 1
    while [[ $dir != / ]]; do
        if [[ -f $dir/CMakeCache.txt ]]; then
            echo "$dir"
            return 0
        fi
        dir=$(dirname "$dir")
    done
    return 1
}

prefix=${KORVANE_WINEPREFIX:-}
if [[ -z $prefix ]]; then
    [[ $1 != --prepare ]] || fail "--prepare needs KORVANE_WINEPREFIX"
    tree=$(build_tree_of "$1") || fail "no KORVANE_WINEPREFIX, and $1 is not in a build tree"
    prefix=$tree/wine-prefix
fi
mkdir -p "$prefix"
prefix=$(cd "$prefix" && pwd -P)
# Wine refuses a prefix of another user.
[[ -O $prefix ]] || fail "$prefix is not owned by $(id -un)"

export WINEPREFIX=$prefix
# Debian's Wine keeps the server's socket under $TMPDIR: a test with a TMPDIR of its own would
# start a second server on the same prefix.
export TMPDIR=/tmp
# No debug output and no .NET or Gecko installers. A caller may name debug channels instead in
# KORVANE_WINEDEBUG, and add load-order overrides in KORVANE_WINEDLLOVERRIDES (they win over these).
export WINEDEBUG=${KORVANE_WINEDEBUG:--all}
export WINEDLLOVERRIDES="mscoree,mshtml=${KORVANE_WINEDLLOVERRIDES:+;$KORVANE_WINEDLLOVERRIDES}"

xvfb_pid=
# shellcheck disable=SC2317  # the EXIT trap runs it
stop_xvfb() {
    if [[ -n $xvfb_pid ]]; then
        kill "$xvfb_pid" 2>/dev/null || true
        wait "$xvfb_pid" 2>/dev/null || true
    fi
}
if [[ $1 != --prepare && -z ${DISPLAY:-} ]]; then
    command -v Xvfb >/dev/null || fail "no DISPLAY, and no Xvfb (package xvfb)"
    trap stop_xvfb EXIT
    trap 'exit 130' INT
    trap 'exit 143' TERM
    # Xvfb takes the first free display number and writes it once it accepts clients.
    fifo_dir=$(mktemp -d "$prefix/.korvane-xvfb.XXXXXX")
    mkfifo "$fifo_dir/display"
    Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp -noreset 3>"$fifo_dir/display" \
        </dev/null >/dev/null 2>&1 &
    xvfb_pid=$!
    number=
    read -r -t 30 number <"$fifo_dir/display" || true
    rm -rf "$fifo_dir"
    [[ -n $number ]] || fail "Xvfb did not start"
    export DISPLAY=:$number
fi

# Made once, under a lock: tests that start together wait for the first one's initialisation
# instead of each starting one. Wine's system processes started here get no terminal, so that
# they never hold a test's output pipes.
readonly ready=$prefix/.korvane-ready
if [[ ! -e $ready ]]; then
    exec 9>"$prefix/.korvane-init.lock"
    flock 9
    if [[ ! -e $ready ]]; then
        (
            "$wine" wineboot --init
            # Without a window manager, Wine waits 2 s for every shown window that goes away;
            # unmanaged windows need no window manager. A crash ends the program at once
            # instead of waiting on a dialog.
            "$wine" reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f
            "$wine" reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f
        ) </dev/null >/dev/null 2>&1 || fail "cannot make the Wine prefix $prefix"
        touch "$ready"
    fi
    exec 9>&-
fi

if [[ $1 == --prepare ]]; then
    [[ -n ${DISPLAY:-} ]] || fail "--prepare needs DISPLAY, for the desktop process"
    # A running server whose services are up answers at once.
    "$wine" wineboot </dev/null >/dev/null 2>&1 || fail "wineboot failed in $prefix"
    exit 0
fi

# Exit codes 0 to 255 come back as they are; a larger one comes back as a byte that is not 0.
status=0
"$wine" "$@" || status=$?
exit "$status"
