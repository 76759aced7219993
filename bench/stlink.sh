#!/bin/sh
# ST-LINK benchmarks over the emulated probe and chip (the stand-in libusb, real time), one
# emulator for every row: the tool's full 8 KB download through our library with the window's
# real pauses, OpenOCD's load_image + verify_image of the same 8 KB, and the read-back. Two
# downloads: to a new (erased) chip, and over a chip whose every block changes (two random
# images in turns).
# Prints Markdown table rows: | measurement | result | goal | reproduce with |
#
# usage: bench/stlink.sh BUILD_DIR   (a Release build; KW_STLINK_RUNS sets the runs, 5)
set -eu

build=${1:?usage: bench/stlink.sh BUILD_DIR}
runs=${KW_STLINK_RUNS:-5}
how="\`sh bench/stlink.sh $build\`"
usb=$build/emulator/usb
if ! log=$(cmake --build "$build" --target bench_stlink stlink_library kw_libusb_standin 2>&1); then
    printf '%s\n' "$log" >&2
    echo "bench/stlink.sh: building the benchmark in $build failed" >&2
    exit 1
fi
command -v openocd >/dev/null || { echo "bench/stlink.sh: openocd not installed" >&2; exit 1; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT INT TERM
head -c 8192 /dev/urandom > "$work/a.bin"
head -c 8192 /dev/urandom > "$work/b.bin"
export KW_EMU_MEMORY="$work/chip.bin" KW_EMU_TIME_SCALE=1
unset KW_EMU_FAULTS KW_EMU_CHIP KW_EMU_PRODUCT KW_EMU_USB_US KW_EMU_TRACE

ours() { LD_LIBRARY_PATH="$usb" timeout 120 "$build/bin/bench_stlink" "$@"; }
openocd_run() { # openocd_run IMAGE: prints the commands' milliseconds and the whole run's
    start=$(date +%s%N)
    out=$(LD_LIBRARY_PATH="$usb" timeout 60 openocd -f interface/stlink-dap.cfg \
        -f target/stm8s103.cfg -c 'gdb_port disabled' -c 'tcl_port disabled' \
        -c 'telnet_port disabled' -c init -c "reset halt" -c 'set t0 [ms]' \
        -c "load_image $1 0x8000 bin" -c "verify_image $1 0x8000 bin" \
        -c 'echo "load and verify took [expr {[ms] - $t0}] ms"' -c shutdown 2>&1) || {
        printf '%s\n' "$out" >&2
        echo "bench/stlink.sh: openocd failed" >&2
        exit 1
    }
    end=$(date +%s%N)
    ms=$(printf '%s\n' "$out" | sed -n 's/^load and verify took \([0-9]*\) ms$/\1/p')
    [ -n "$ms" ] || { printf '%s\n' "$out" >&2; exit 1; }
    echo "$ms $(( (end - start) / 1000000 ))"
}

# new NAME: $runs downloads to a new chip each (the emulated chip is erased when its memory
# file is new), by us and by OpenOCD, into NAME-ours.txt and NAME-openocd.txt.
new() {
    : > "$work/$1-ours.txt"
    : > "$work/$1-openocd.txt"
    i=0
    while [ $i -lt "$runs" ]; do
        rm -f "$KW_EMU_MEMORY"
        ours download "$build/bin/stlink" "$work/a.bin" >> "$work/$1-ours.txt"
        rm -f "$KW_EMU_MEMORY"
        openocd_run "$work/a.bin" >> "$work/$1-openocd.txt"
        i=$((i + 1))
    done
}
# changed NAME: $runs downloads of A and B in turns, after one of B, by us and by OpenOCD.
changed() {
    set -- "$1" "$work/b.bin"
    i=0
    while [ $i -lt "$runs" ]; do
        if [ $((i % 2)) -eq 0 ]; then set -- "$@" "$work/a.bin"; else set -- "$@" "$work/b.bin"; fi
        i=$((i + 1))
    done
    name=$1
    shift
    ours download "$build/bin/stlink" "$@" | tail -n +2 > "$work/$name-ours.txt"
    : > "$work/$name-openocd.txt"
    openocd_run "$work/b.bin" >/dev/null
    shift
    for image in "$@"; do
        openocd_run "$image" >> "$work/$name-openocd.txt"
    done
}

new new
changed changed
# The image downloaded last is A for an odd number of runs, else B.
last=$work/a.bin
[ $((runs % 2)) -eq 0 ] && last=$work/b.bin
ours readback "$build/bin/stlink" "$last" "$runs" > "$work/readback.txt"
# USB costs more on an older host controller: four and eight times the default per transfer.
export KW_EMU_USB_US=500
changed slow-usb
export KW_EMU_USB_US=1000
changed slower-usb
unset KW_EMU_USB_US

# USB transfers per 128-byte call, whatever the machine: the emulator's trace numbers every
# line with the transfers so far, so the last number of a run is its count. OpenOCD's
# load + verify is its whole run less one that only starts and halts the chip.
last_transfer() { sed -n 's/^kw-emu #\([0-9]*\):.*/\1/p' "$1" | tail -n 1; }
export KW_EMU_TRACE=1
rm -f "$KW_EMU_MEMORY"
ours download "$build/bin/stlink" "$work/a.bin" "$work/b.bin" >/dev/null 2> "$work/trace-ours.txt"
ours_calls=$(last_transfer "$work/trace-ours.txt")
rm -f "$KW_EMU_MEMORY"
ours download "$build/bin/stlink" "$work/a.bin" >/dev/null 2> "$work/trace-ours-1.txt"
ours_first=$(last_transfer "$work/trace-ours-1.txt")
openocd_count() { # openocd_count COMMAND...: transfers of one run with those commands
    LD_LIBRARY_PATH="$usb" timeout 60 openocd -f interface/stlink-dap.cfg \
        -f target/stm8s103.cfg -c 'gdb_port disabled' -c 'tcl_port disabled' \
        -c 'telnet_port disabled' -c init -c "reset halt" "$@" -c shutdown > /dev/null \
        2> "$work/trace-openocd.txt" || true
    last_transfer "$work/trace-openocd.txt"
}
openocd_base=$(openocd_count)
openocd_full=$(openocd_count -c "load_image $work/a.bin 0x8000 bin" -c "verify_image $work/a.bin 0x8000 bin")
unset KW_EMU_TRACE

# spread FILE [COLUMN]: min median max of a column of milliseconds
spread() { sort -n -k "${2:-1}" "$1" | awk -v k="${2:-1}" '{ v[NR] = $k } END { printf "%s %s %s", v[1], v[int((NR + 1) / 2)], v[NR] }'; }
row() { # row NAME LABEL GOAL
    set -- "$2" "$3" $(spread "$work/$1-ours.txt") $(spread "$work/$1-openocd.txt" 1) \
        $(spread "$work/$1-openocd.txt" 2)
    awk -v label="$1" -v goal="$2" -v runs="$runs" -v how="$how" -v dmin="$3" -v dmed="$4" \
        -v dmax="$5" -v omin="$6" -v omed="$7" -v omax="$8" -v wmed="${10}" 'BEGIN {
        printf "| ST-LINK library: the tool'\''s 8 KB download (64 blocks, real pauses), %s, emulated probe, median of %d (min–max) | %.2f s (%.2f–%.2f) | %s | %s |\n", label, runs, dmed / 1000, dmin / 1000, dmax / 1000, goal, how
        printf "| OpenOCD 0.12: load_image + verify_image of the same 8 KB, %s, same emulated probe, median of %d (min–max; whole run with start-up %.2f s) | %.2f s (%.2f–%.2f) | — | %s |\n", label, runs, wmed / 1000, omed / 1000, omin / 1000, omax / 1000, how
        printf "| Our download (pauses included) / OpenOCD load + verify, %s | %.2fx | < 1x | %s |\n", label, dmed / omed, how
    }'
}
row new "new (erased) chip" "≤ 1.25 s"
row changed "every block changed" "≤ 1.25 s"
row slow-usb "every block changed, 500 µs per USB transfer" "—"
row slower-usb "every block changed, 1 ms per USB transfer" "—"
# Our second download of the traced pair changes every block; OpenOCD's load + verify of the
# same 8 KB, both per 128-byte call (64 calls).
awk -v a="$ours_first" -v ab="$ours_calls" -v ob="$openocd_base" -v of="$openocd_full" -v how="$how" 'BEGIN {
    printf "| USB transfers per 128-byte call: our download, every block changed (connection and release included) | %.1f | — | %s |\n", (ab - a) / 64, how
    printf "| USB transfers per 128-byte call: OpenOCD 0.12 load_image + verify_image of the same 8 KB | %.1f | — | %s |\n", (of - ob) / 64, how
}'
set -- $(spread "$work/readback.txt")
awk -v runs="$runs" -v how="$how" -v rmin="$1" -v rmed="$2" -v rmax="$3" 'BEGIN {
    printf "| ST-LINK library: read-back of 8 KB (256 blocks), same emulated probe, median of %d (min–max) | %.0f ms (%.0f–%.0f) | ≤ 150 ms | %s |\n", runs, rmed, rmin, rmax, how
}'
