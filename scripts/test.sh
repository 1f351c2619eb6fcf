#!/usr/bin/env bash
# Builds the simulated-Windows preset and runs every test.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh native
cmake --preset sim >/dev/null
cmake --build --preset sim -j"$(nproc)"
ctest --preset sim -j"$(nproc)"
