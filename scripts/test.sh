#!/usr/bin/env bash
# The whole test suite: host tests, the same tests under AddressSanitizer and
# UndefinedBehaviorSanitizer, and the shipped package built and checked.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh

cmake --preset host
cmake --build --preset host
ctest --preset host

cmake --preset sanitize
cmake --build --preset sanitize
ctest --preset sanitize

# The shipped package: every image is finished and checked as it links
# (headers, checksum, sections, imports, resources, Pentium instructions),
# dist/ is laid out and the INF files are checked against it; then the
# package's own tests.
cmake --preset windows
cmake --build --preset windows
ctest --preset windows
cat dist/MANIFEST
echo "i386 Windows package in dist/: OK"
