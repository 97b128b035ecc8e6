#!/bin/sh
# Installs what the Wine end-to-end tests need on a fresh Debian 12 machine.
# Safe to run repeatedly: only missing packages are fetched.
set -eu

packages="wine64 g++-mingw-w64-x86-64-posix python3 cmake g++ make"
missing=""
for p in $packages; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null |
            grep -q "install ok installed"; then
        missing="$missing $p"
    fi
done
# unshare and mount come from util-linux/mount, which Debian always has.

if [ -z "$missing" ]; then
    echo "deps.sh: all packages present"
    exit 0
fi
if [ "$(id -u)" -ne 0 ]; then
    echo "deps.sh: missing:$missing; run as root to install" >&2
    exit 1
fi
export DEBIAN_FRONTEND=noninteractive
apt-get update
# shellcheck disable=SC2086  # word splitting of the list is intended
apt-get install -y --no-install-recommends $missing
