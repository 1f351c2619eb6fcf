#!/usr/bin/env bash
# The main job: build the driver for the simulated Windows, register it in the simulated registry as regsvr32
# would, and let tessel-rec find it as an ASIO host does and print what it says of itself.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh native
cmake --preset sim >/dev/null
cmake --build --preset sim --target tessel-rec -j"$(nproc)"
rec=build/sim/tools/tessel-rec/tessel-rec
"$rec" --register
# With no microphone attached yet, the driver's init fails cleanly; tessel-rec then reports that no driver could
# record, so its exit code is not this script's result.
"$rec" "$@" || true
