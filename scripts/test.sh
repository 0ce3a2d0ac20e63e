#!/usr/bin/env bash
# The whole test suite: host tests, the same tests under AddressSanitizer and
# UndefinedBehaviorSanitizer, and the cross compile of the shipped binaries.
#
# Every suite runs under seeded preemption, each under at least two seeds:
# the host tests under seeds 1 and 2, the sanitizer tests under seed 3. The
# decoder fuzz targets are the same binaries in both builds, so they run once
# in each: under seeds 1 and 3. HOST_SEEDS and SANITIZE_SEED choose others. A
# failed test prints its seed and the command that replays it.
set -euo pipefail
cd "$(dirname "$0")/.."

HOST_SEEDS=${HOST_SEEDS:-"1 2"}
SANITIZE_SEED=${SANITIZE_SEED:-3}

scripts/install-deps.sh

# run_tests PRESET SEED [CTEST ARGUMENTS...]
run_tests() {
  local preset=$1 seed=$2
  shift 2
  echo "ctest --preset $preset $* with SIM_SEED=$seed"
  if ! SIM_SEED=$seed ctest --preset "$preset" -j 2 "$@"; then
    echo "FAILED under SIM_SEED=$seed; replay with: SIM_SEED=$seed ctest --preset $preset --rerun-failed" >&2
    return 1
  fi
}

cmake --preset host
cmake --build --preset host
first=1
for seed in $HOST_SEEDS; do
  if [ $first -eq 1 ]; then run_tests host "$seed"; else run_tests host "$seed" -LE fuzz; fi
  first=0
done

cmake --preset sanitize
cmake --build --preset sanitize
run_tests sanitize "$SANITIZE_SEED"

cmake --preset windows
cmake --build --preset windows
echo "Cross build for i386 Windows: OK"
