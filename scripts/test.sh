#!/usr/bin/env bash
# The whole test suite: host tests, the same tests under AddressSanitizer and
# UndefinedBehaviorSanitizer, and the cross compile of the shipped binaries.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh

cmake --preset host
cmake --build --preset host
ctest --preset host

cmake --preset sanitize
cmake --build --preset sanitize
ctest --preset sanitize

cmake --preset windows
cmake --build --preset windows
echo "Cross build for i386 Windows: OK"
