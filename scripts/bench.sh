#!/usr/bin/env bash
# Prints the speed figures of the ROM loader upload (see bench/run_bench.py).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j2 --target windows32_build windows64_build vantor_device vantor_make_inputs >/dev/null
exec python3 bench/run_bench.py --bin build "$@"
