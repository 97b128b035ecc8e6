#!/usr/bin/env bash
# Makes the release package dist/vantor_config-<version>.zip (version from
# the file VERSION): the shipped 32-bit vantor_config.exe, built here in a
# folder of its own so that no other build's state leaks in, the
# configuration example, the operator's guide as LEGGIMI.txt and
# SHA256SUMS. Running it again on the same sources gives the same bytes.
#
#   scripts/package.sh [--build-dir DIR] [--out-dir DIR] [--toolchain FILE]
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

build=build/package
out=dist
toolchain=cmake/mingw-w64-i686.cmake
while [ $# -gt 0 ]; do
  case "$1" in
    --build-dir) build=$2; shift 2 ;;
    --out-dir) out=$2; shift 2 ;;
    --toolchain) toolchain=$2; shift 2 ;;
    *) sed -n 's/^#   //p' "$0" >&2; exit 2 ;;
  esac
done

scripts/deps.sh
cmake -S . -B "$build" -DCMAKE_TOOLCHAIN_FILE="$(realpath "$toolchain")" \
  -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" --target vantor_config -j2 >/dev/null
python3 scripts/make_package.py --exe "$build/vantor_config.exe" \
  --sources "$root" --out "$out"
