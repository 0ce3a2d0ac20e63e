#!/usr/bin/env bash
# The whole test suite: host tests, the same tests under AddressSanitizer and
# UndefinedBehaviorSanitizer, and the cross compile of the shipped binaries.
#
# Every suite runs under seeded preemption. The host tests run under two
# seeds and the sanitizer tests under a third; SIM_SEEDS and SANITIZE_SEED
# choose others. A failed test prints its seed and the command that replays
# it.
set -euo pipefail
cd "$(dirname "$0")/.."

SIM_SEEDS=${SIM_SEEDS:-"1 2"}
SANITIZE_SEED=${SANITIZE_SEED:-3}

scripts/install-deps.sh

run_tests() {
  local preset=$1 seed=$2
  echo "ctest --preset $preset with SIM_SEED=$seed"
  if ! SIM_SEED=$seed ctest --preset "$preset" -j 2; then
    echo "FAILED under SIM_SEED=$seed; replay with: SIM_SEED=$seed ctest --preset $preset --rerun-failed" >&2
    return 1
  fi
}

cmake --preset host
cmake --build --preset host
for seed in $SIM_SEEDS; do run_tests host "$seed"; done

cmake --preset sanitize
cmake --build --preset sanitize
run_tests sanitize "$SANITIZE_SEED"

cmake --preset windows
cmake --build --preset windows
echo "Cross build for i386 Windows: OK"
