#!/bin/sh
# Cross-compiles the probe programs and the drive helper into OUTDIR for the
# harness self-tests, without needing a configured Windows CMake build.
set -eu
out=${1:?usage: build_probes.sh OUTDIR}
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
cxx=${MINGW_CXX:-i686-w64-mingw32-g++-win32}
mkdir -p "$out"

build() {
    src=$1
    exe=$out/$(basename "$src" .cpp).exe
    if [ "$exe" -nt "$src" ]; then
        return 0
    fi
    # -static: the prefix has no MinGW runtime DLLs.
    "$cxx" -std=c++17 -static -O2 -Wall -Wextra -Werror -o "$exe" "$src" \
        -lshell32
}

for src in "$here"/probe_programs/*.cpp; do
    build "$src"
done
build "$root/tools/wine_drive/wine_drive.cpp"
