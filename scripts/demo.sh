#!/usr/bin/env bash
# The main job: builds the simulated platform and runs a mouse on it.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh

cmake --preset host >/dev/null
cmake --build --preset host
build/bin/mousesim demo
