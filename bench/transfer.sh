#!/bin/sh
# Programmer link benchmarks: bench/transfer.sh BUILD_DIR (a Release build directory).
set -eu
build=${1:?usage: bench/transfer.sh BUILD_DIR}
cmake --build "$build" --target bench_transfer >/dev/null
"$build/bin/bench_transfer"
