#!/bin/sh
# Builds the kernel-streaming fuzz target with clang under the address and undefined-behaviour sanitizers and
# runs it for a fixed number of inputs (FUZZ_RUNS, default 100000). Exits non-zero on any finding.
#   tests/fuzz/run.sh [build-dir]
set -eu
root=$(cd "$(dirname "$0")/../.." && pwd)
build=${1:-$root/build/fuzz}
runs=${FUZZ_RUNS:-100000}
cc=${FUZZ_CC:-clang-14}
cxx=${FUZZ_CXX:-clang++-14}

cmake -S "$root/tests/fuzz" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug \
      -DCMAKE_C_COMPILER="$cc" -DCMAKE_CXX_COMPILER="$cxx" >/dev/null
cmake --build "$build" -j2 --target ks_answers_fuzz

corpus="$build/corpus"
mkdir -p "$corpus"
# A fixed seed keeps CI runs repeatable; the corpus grows between local runs.
ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1} UBSAN_OPTIONS=${UBSAN_OPTIONS:-halt_on_error=1:print_stacktrace=1} \
    "$build/ks_answers_fuzz" -runs="$runs" -seed=1 -max_len=4096 -timeout=10 -rss_limit_mb=2048 \
    -print_final_stats=1 "$corpus"
