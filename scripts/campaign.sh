#!/usr/bin/env bash
# Runs the fault campaign over whole runs for any number of seeds and prints
# its figures; every violated invariant is printed with the seed that
# replays it (vantor_campaign --replay SEED). Exits non-zero on a violation.
#   scripts/campaign.sh [RUNS] [FIRST_SEED]    (default 2000 runs from seed 1)
#   VANTOR_CAMPAIGN_BUILD  build folder (default build-campaign)
#   VANTOR_SANITIZE        sanitizers for that build (default address;undefined)
set -euo pipefail
cd "$(dirname "$0")/.."

runs="${1:-2000}"
first="${2:-1}"
build="${VANTOR_CAMPAIGN_BUILD:-build-campaign}"
sanitize="${VANTOR_SANITIZE-address;undefined}"

cmake -S . -B "$build" -DVANTOR_WITH_WINDOWS=OFF -DVANTOR_SANITIZE="$sanitize" \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j"${VANTOR_JOBS:-2}" --target vantor_campaign >/dev/null

# The simulated machine keeps its drives in real folders: a scratch place.
work="$(mktemp -d "${TMPDIR:-/tmp}/vantor-campaign-XXXXXX")"
trap 'rm -rf "$work"' EXIT
echo "== vantor_campaign --runs $runs --seed $first ($build, sanitizers: ${sanitize:-none})"
TMPDIR="$work" "$build/tools/campaign/vantor_campaign" --runs "$runs" --seed "$first"
