#!/usr/bin/env bash
# Builds everything and runs every test: the host suite (also under
# AddressSanitizer with UndefinedBehaviorSanitizer, and under
# ThreadSanitizer), the Windows program under Wine, and the fuzz targets for
# a bounded time each (VANTOR_FUZZ_SECONDS, default 60).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh

jobs=2

echo "== host build and Windows build, all tests =="
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$jobs"
(cd build && ctest --output-on-failure -j"$jobs")

echo "== host tests under AddressSanitizer and UndefinedBehaviorSanitizer =="
cmake -S . -B build-asan -DVANTOR_WITH_WINDOWS=OFF \
  -DVANTOR_SANITIZE="address;undefined" -DCMAKE_BUILD_TYPE=Debug >/dev/null
cmake --build build-asan -j"$jobs"
(cd build-asan && ctest --output-on-failure -j"$jobs")

echo "== host tests under ThreadSanitizer =="
cmake -S . -B build-tsan -DVANTOR_WITH_WINDOWS=OFF \
  -DVANTOR_SANITIZE=thread -DCMAKE_BUILD_TYPE=Debug >/dev/null
cmake --build build-tsan -j"$jobs"
(cd build-tsan && ctest --output-on-failure -j"$jobs")

echo "== fuzz targets =="
scripts/fuzz.sh
