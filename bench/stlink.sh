#!/bin/sh
# ST-LINK benchmarks over the emulated probe and chip (the stand-in libusb, real time), one
# chip file for every row: the tool's full 8 KB download through our library with the window's
# real pauses, OpenOCD's load_image + verify_image of the same 8 KB, and the read-back.
# Each download changes every block (two random images in turns).
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

LD_LIBRARY_PATH="$usb" timeout 300 "$build/bin/bench_stlink" "$build/bin/stlink" \
    "$work/a.bin" "$work/b.bin" "$runs" "$work/ours.txt"

openocd_run() { # openocd_run IMAGE: prints the commands' milliseconds and the whole run's
    start=$(date +%s%N)
    out=$(LD_LIBRARY_PATH="$usb" timeout 60 openocd -f interface/stlink-dap.cfg \
        -f target/stm8s103.cfg -c init -c "reset halt" -c 'set t0 [ms]' \
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
openocd_run "$work/b.bin" >/dev/null
i=0
: > "$work/openocd.txt"
while [ $i -lt "$runs" ]; do
    image=$work/a.bin
    [ $((i % 2)) -eq 1 ] && image=$work/b.bin
    openocd_run "$image" >> "$work/openocd.txt"
    i=$((i + 1))
done

# column 1: commands, column 2: whole process
stats() { sort -n -k "$1" "$work/openocd.txt" | awk -v k="$1" '{ v[NR] = $k } END { printf "%d %d %d", v[1], v[int((NR + 1) / 2)], v[NR] }'; }
set -- $(sed -n 's/^download_ms //p' "$work/ours.txt") $(sed -n 's/^readback_ms //p' "$work/ours.txt") \
    $(stats 1) $(stats 2)
awk -v runs="$runs" -v how="$how" -v dmin="$1" -v dmed="$2" -v dmax="$3" -v rmin="$4" -v rmed="$5" \
    -v rmax="$6" -v omin="$7" -v omed="$8" -v omax="$9" -v wmed="${11}" 'BEGIN {
    printf "| ST-LINK library: the tool'\''s 8 KB download (64 blocks, real pauses, every block changed), emulated probe, median of %d (min–max) | %.2f s (%.2f–%.2f) | ≤ 1.25 s | %s |\n", runs, dmed / 1000, dmin / 1000, dmax / 1000, how
    printf "| OpenOCD 0.12: load_image + verify_image of the same 8 KB, same emulated probe, median of %d (min–max; whole run with start-up %.2f s) | %.2f s (%.2f–%.2f) | — | %s |\n", runs, wmed / 1000, omed / 1000, omin / 1000, omax / 1000, how
    printf "| Our download (pauses included) / OpenOCD load + verify | %.2fx | < 1x | %s |\n", dmed / omed, how
    printf "| ST-LINK library: read-back of 8 KB (256 blocks), same emulated probe, median of %d (min–max) | %.0f ms (%.0f–%.0f) | ≤ 150 ms | %s |\n", runs, rmed, rmin, rmax, how
}'
