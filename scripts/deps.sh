#!/usr/bin/env bash
# Installs, on Debian 12, whatever the builds and tests need and the machine
# lacks. Idempotent; needs root (or sudo) only when something is missing.
set -euo pipefail

packages=(cmake make g++ libgtest-dev python3 g++-mingw-w64-x86-64-posix wine64 util-linux
          mount clang libclang-rt-14-dev)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  export DEBIAN_FRONTEND=noninteractive
  $sudo apt-get update -qq
  $sudo apt-get install -y --no-install-recommends "${missing[@]}" >/dev/null
fi
