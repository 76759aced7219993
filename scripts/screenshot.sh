#!/bin/sh
# Screenshots of the real window under Xvfb, with the fonts a desktop has:
#   scripts/screenshot.sh BUILD_DIR OUT_DIR
set -eu
BUILD=${1:-build}
OUT=${2:-docs}
mkdir -p "$OUT"
cmake --build "$BUILD" --target kw_screenshot kaliwire >/dev/null
STATE=$(mktemp -d)
export XDG_STATE_HOME="$STATE"
run() { xvfb-run -a -s "-screen 0 1024x768x24" "$BUILD/bin/kw_screenshot" "$@"; }
IMAGE="$(pwd)/examples/blink.hex"
run "$OUT/screenshot.png" "$IMAGE"
run "$OUT/screenshot-download.png" "$IMAGE" --download
rm -rf "$STATE"
