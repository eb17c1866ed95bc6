# Sourced by the scripts at the top of the repository: installs the Debian packages they need when
# some are missing. Fast when nothing is; works as root and, through sudo, as a normal user.

# Runs a command as root.
as_root() {
    if ((EUID == 0)); then
        "$@"
    elif command -v sudo >/dev/null; then
        sudo "$@"
    else
        echo "$(basename "$0"): installing packages needs root; run as root or install sudo" >&2
        exit 1
    fi
}

# Installs those of the named packages that are not installed yet.
install_missing_packages() {
    local package missing=()
    for package in "$@"; do
        if [[ $(dpkg-query -W -f='${db:Status-Status}' "$package" 2>/dev/null) != installed ]]; then
            missing+=("$package")
        fi
    done
    if ((${#missing[@]} == 0)); then
        return
    fi
    echo "$(basename "$0"): installing ${missing[*]}"
    as_root env DEBIAN_FRONTEND=noninteractive apt-get update
    as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends \
        "${missing[@]}"
}
