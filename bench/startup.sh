#!/bin/sh
# Start-up benchmarks: process start to the end of the main window's first paint, beside an
# empty QMainWindow program in the same run, under the offscreen platform and under one Xvfb
# server; peak memory (VmHWM) at that paint and after opening examples/blink.hex.
# Prints Markdown table rows: | measurement | result | goal | reproduce with |
#
# usage: bench/startup.sh BUILD_DIR   (a Release build; KW_STARTUP_RUNS sets the runs, 15)
set -eu

build=${1:?usage: bench/startup.sh BUILD_DIR}
runs=${KW_STARTUP_RUNS:-15}
bin=$build/bin
hex=$(cd "$(dirname "$0")/.." && pwd)/examples/blink.hex
for tool in bench_launch bench_startup_kaliwire bench_empty_window; do
    [ -x "$bin/$tool" ] || { echo "startup.sh: $bin/$tool not built" >&2; exit 1; }
done
[ -f "$hex" ] || { echo "startup.sh: $hex missing" >&2; exit 1; }
command -v xvfb-run >/dev/null || { echo "startup.sh: xvfb-run not installed" >&2; exit 1; }

# One launcher call per platform; the four programs take turns within it.
set -- "$bin/bench_launch" "$runs" "$bin/bench_startup_kaliwire" -- "$bin/bench_empty_window" \
    -- "$bin/bench_startup_kaliwire" --open-hex "$hex" -- "$bin/bench_empty_window" --label
offscreen=$(QT_QPA_PLATFORM=offscreen "$@")
# The server starts once, before the first run, so its start-up is in no figure.
xvfb=$(xvfb-run -a -s '-screen 0 1280x1024x24' env QT_QPA_PLATFORM=xcb "$@")

rows() {
    # $1: platform label; $2: the launcher's lines: main window, empty window, loaded, one-label window.
    printf '%s\n' "$2" | awk -v platform="$1" -v runs="$runs" -v how="\`sh bench/startup.sh $build\`" '
        { median[NR] = $1; lo[NR] = $2; hi[NR] = $3; peak[NR] = $4 / 1024 }
        END {
            if (NR != 4) exit 1
            printf "| Process start to first paint, main window, %s (median of %d, min–max) | %.1f ms (%.1f–%.1f) | — | %s |\n", platform, runs, median[1], lo[1], hi[1], how
            printf "| Process start to first paint, empty QMainWindow, %s, same run | %.1f ms (%.1f–%.1f) | — | %s |\n", platform, median[2], lo[2], hi[2], how
            printf "| Main window start-up / empty window start-up, %s | %.2fx | ≤ 1.5x | %s |\n", platform, median[1] / median[2], how
            printf "| Process start to first paint, QMainWindow with one label of Chinese text, %s, same run | %.1f ms (%.1f–%.1f) | — | %s |\n", platform, median[4], lo[4], hi[4], how
            printf "| Main window start-up / one-label window start-up, %s | %.2fx | — | %s |\n", platform, median[1] / median[4], how
            printf "| Peak memory (VmHWM), main window at first paint, %s | %.1f MiB | ≤ 40 MiB | %s |\n", platform, peak[1], how
            printf "| Peak memory (VmHWM), main window after opening examples/blink.hex with its Hex button, %s | %.1f MiB | ≤ 40 MiB | %s |\n", platform, peak[3], how
            printf "| Peak memory (VmHWM), empty QMainWindow at first paint, %s (for reference) | %.1f MiB | — | %s |\n", platform, peak[2], how
        }'
}
rows offscreen "$offscreen"
rows "xvfb-run" "$xvfb"
