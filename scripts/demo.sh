#!/usr/bin/env bash
# A whole re-flash, as an operator sees it: the real vantor_config.exe under
# Wine, talking over a pseudo-terminal to the simulated module, with its
# dialogue shown as it happens. The program waits for your Enter keys; with
# --auto they are pressed for you. Everything runs in a temporary Wine
# prefix that is removed afterwards, with its processes ended.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j2 --target windows32_build vantor_device vantor_make_inputs >/dev/null
exec python3 tests/wine/e2e.py --bin build --demo "$@"
