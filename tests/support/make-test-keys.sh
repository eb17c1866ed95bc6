#!/usr/bin/env bash
# Makes the tests' minisign key pairs in OUTDIR, without passwords:
#   publisher.pub/.key  the key the test build trusts for the setup program
#   other.pub/.key      a key it does not trust
# A complete set is left alone (only touched, so that build tools see it as fresh).
set -euo pipefail

if [[ $# -ne 1 ]]; then
    echo "usage: $0 OUTDIR" >&2
    exit 2
fi
mkdir -p "$1"
out_dir=$(cd "$1" && pwd)
names=(publisher other)

complete() {
    local name
    for name in "${names[@]}"; do
        [[ -s "$out_dir/$name.pub" && -s "$out_dir/$name.key" ]] || return 1
    done
}

if complete; then
    for name in "${names[@]}"; do
        touch "$out_dir/$name.pub" "$out_dir/$name.key"
    done
    exit 0
fi

work_dir=$(mktemp -d "$out_dir/.keys.XXXXXX")
trap 'rm -rf "$work_dir"' EXIT
for name in "${names[@]}"; do
    minisign -G -W -f -p "$work_dir/$name.pub" -s "$work_dir/$name.key" >/dev/null
    chmod 600 "$work_dir/$name.key"
done
# publisher.pub last: it is the file the build waits for.
mv -f "$work_dir/other.key" "$work_dir/other.pub" "$work_dir/publisher.key" "$out_dir/"
mv -f "$work_dir/publisher.pub" "$out_dir/publisher.pub"
