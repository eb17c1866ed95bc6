#!/usr/bin/env bash
# Checks that the test programs' settings never become the shipped program's: a tree configured
# with the tests keeps the options it was given for the shipped program, and keeps them when the
# tests are turned off again.
#
#     settings-apart.sh SOURCE_DIR
set -euo pipefail

source_dir=$1
tree=$(mktemp -d)
trap 'rm -rf "$tree"' EXIT
failures=0

# The host in the text table of the settings NAME, and the shipped program's options in the cache.
host_of() {  # NAME
    sed -n 's/^#define KORVANE_DOWNLOAD_HOST_TEXT "\(.*\)"$/\1/p' "$tree/settings/$1/DownloadHost.h"
}
expect() {  # WHAT ACTUAL EXPECTED
    if [[ $2 != "$3" ]]; then
        echo "FAILED: $1 is \"$2\", not \"$3\"" >&2
        failures=$((failures + 1))
    fi
}
cached() {  # VARIABLE
    sed -n "s/^$1:[A-Z]*=//p" "$tree/CMakeCache.txt"
}
check_shipped_program() {  # WHEN
    expect "the shipped program's host $1" "$(host_of korvane_settings)" shipped.example
    expect "KORVANE_DOWNLOAD_HOST $1" "$(cached KORVANE_DOWNLOAD_HOST)" shipped.example
    expect "KORVANE_TRUSTED_CA $1" "$(cached KORVANE_TRUSTED_CA)" ""
    expect "KORVANE_SETUP_PUBLIC_KEY $1" "$(cached KORVANE_SETUP_PUBLIC_KEY)" ""
}

cmake -S "$source_dir" -B "$tree" -DKORVANE_DOWNLOAD_HOST=shipped.example \
    -DKORVANE_BUILD_TESTS=ON >/dev/null
check_shipped_program "with the tests"
expect "the test programs' host" "$(host_of korvane_test_settings)" 127.0.0.1:47443
cmake -S "$source_dir" -B "$tree" -DKORVANE_BUILD_TESTS=OFF >/dev/null
check_shipped_program "once the tests are off"

if ((failures > 0)); then
    exit 1
fi
echo "the shipped program keeps its settings"
