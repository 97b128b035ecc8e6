#!/usr/bin/env bash
# Installs, on Debian 12, whatever the builds and tests need and the machine
# lacks. Idempotent; needs root (or sudo) only when something is missing.
#
# The shipped program is 32-bit, so Wine's 32-bit side (wine32, from the
# i386 architecture) is needed to run it; adding that architecture upgrades a
# few dozen amd64 libraries to versions that match their i386 twins.
set -euo pipefail

packages=(cmake make g++ libgtest-dev python3 util-linux mount clang libclang-rt-14-dev
          g++-mingw-w64-i686-win32 g++-mingw-w64-x86-64-win32 wine64 wine32:i386)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  export DEBIAN_FRONTEND=noninteractive
  if ! dpkg --print-foreign-architectures | grep -qx i386; then
    $sudo dpkg --add-architecture i386
  fi
  $sudo apt-get update -qq
  $sudo apt-get install -y --no-install-recommends "${missing[@]}" >/dev/null
fi
