#!/usr/bin/env bash
# The main job: build the driver for the simulated Windows and record from it as an ASIO host would. tessel-rec
# builds a virtual machine with four Tessel microphones, each on its own crystal (-80, -20, +30 and +90 ppm off
# nominal), lets the driver register itself there as regsvr32 would, opens the integer class through the ASIO
# registry key and COM, records a few seconds at 48000 Hz into tessel-rec.wav and prints how healthy the
# recording was. Extra arguments go to tessel-rec (see tessel-rec --help).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh native
cmake --preset sim >/dev/null
cmake --build --preset sim --target tessel-rec -j"$(nproc)"
rec=build/sim/tools/tessel-rec/tessel-rec
exec "$rec" --sim --ppm -80,-20,+30,+90 --class int --rate 48000 --duration 5 --output tessel-rec.wav "$@"
