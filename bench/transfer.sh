#!/bin/sh
# Programmer link benchmarks: bench/transfer.sh BUILD_DIR (a Release build directory).
# Prints Markdown table rows.
set -eu
build=${1:?usage: bench/transfer.sh BUILD_DIR}
if ! log=$(cmake --build "$build" --target bench_transfer 2>&1); then
    printf '%s\n' "$log" >&2
    echo "bench/transfer.sh: building bench_transfer in $build failed" >&2
    exit 1
fi
"$build/bin/bench_transfer"
