#!/usr/bin/env bash
# Installs the Debian packages named on the command line that are not installed
# yet; does nothing (and needs no network) when all of them are. Every apt step
# is retried, and an index that will not refresh fails nothing by itself: only
# a package that cannot be had does, named in the message.
set -euo pipefail
source "$(dirname -- "${BASH_SOURCE[0]}")/hosts/retry.sh"
missing=()
for package in "$@"; do
    if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
        missing+=("$package")
    fi
done
[ ${#missing[@]} -eq 0 ] && exit 0
echo "installing Debian packages: ${missing[*]}"
sudo=(env)
if [ "$(id -u)" -ne 0 ]; then
    command -v sudo >/dev/null || { echo "need root (or sudo) to install: ${missing[*]}" >&2; exit 1; }
    sudo=(sudo)
fi
apt_install "${sudo[@]}" -- "${missing[@]}"
