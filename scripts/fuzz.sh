#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each for a bounded time
# from its seed corpus. The seeds are copied to a scratch corpus first, so a
# run never writes to the repository. Exits non-zero when any target finds a
# crash, a leak, a time-out or a violated property.
#   VANTOR_FUZZ_SECONDS  seconds per target (default 60)
#   VANTOR_FUZZ_BUILD    build folder (default build-fuzz)
set -euo pipefail
cd "$(dirname "$0")/.."

seconds="${VANTOR_FUZZ_SECONDS:-60}"
build="${VANTOR_FUZZ_BUILD:-build-fuzz}"
jobs="${VANTOR_FUZZ_JOBS:-2}"
targets=(rom_loader prompt_watcher mounted_device configuration port_list whole_run explain)

CC=clang CXX=clang++ cmake -S . -B "$build" -DVANTOR_FUZZ=ON \
  -DVANTOR_WITH_WINDOWS=OFF -DVANTOR_SANITIZE="address;undefined" \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j"$jobs"

work="$(mktemp -d "${TMPDIR:-/tmp}/vantor-fuzz-XXXXXX")"
sim="$work/sim"
trap 'rm -rf "$work" "$sim"' EXIT
# The simulated machine keeps its drives in real folders, and every input
# makes and removes a few: keep them in memory where the system offers it
# (on a disk file system that costs more than the input itself), else with
# the scratch corpus, never in the caller's TMPDIR.
if [[ -d /dev/shm && -w /dev/shm ]]; then
  sim="$(mktemp -d /dev/shm/vantor-fuzz-sim-XXXXXX)"
else
  mkdir -p "$sim"
fi

failed=()
for name in "${targets[@]}"; do
  corpus="$work/corpus/$name"
  artifacts="$work/artifacts/$name"
  mkdir -p "$corpus" "$artifacts"
  cp -R "fuzz/corpus/$name/." "$corpus/"
  echo "== ${name}_fuzz for ${seconds} s =="
  if ! TMPDIR="$sim" "$build/fuzz/${name}_fuzz" \
        -max_total_time="$seconds" -timeout=20 -rss_limit_mb=2048 \
        -print_final_stats=1 -artifact_prefix="$artifacts/" \
        "$corpus" 2>"$work/$name.log"; then
    failed+=("$name")
    tail -n 60 "$work/$name.log"
    # Keep what reproduces the finding where the caller can get it.
    mkdir -p "$build/fuzz-findings/$name"
    cp -R "$artifacts/." "$build/fuzz-findings/$name/"
    echo "-- findings kept in $build/fuzz-findings/$name"
  fi
  grep -E '^(#[0-9]+.*DONE|stat::number_of_executed_units|stat::average_exec_per_sec)' \
    "$work/$name.log" || true
done

if ((${#failed[@]} > 0)); then
  echo "fuzzing found problems in: ${failed[*]}"
  exit 1
fi
echo "fuzzing found nothing"
