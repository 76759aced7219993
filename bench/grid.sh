#!/bin/sh
# String grid benchmark: flash grid redraw alone, HEX load + redraw + repaint, and the same
# redraw into a QTableWidget. Runs offscreen. Prints Markdown table rows:
# | measurement | result | goal | reproduce with |
#
# usage: bench/grid.sh BUILD_DIR      (a Release build holding bin/bench_grid)
set -eu

build=${1:?usage: bench/grid.sh BUILD_DIR}
[ -x "$build/bin/bench_grid" ] || { echo "grid.sh: $build/bin/bench_grid not built" >&2; exit 1; }
QT_QPA_PLATFORM=offscreen exec "$build/bin/bench_grid"
