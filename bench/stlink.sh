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
# A new chip for each download: the emulated chip is erased when its memory file is new.
: > "$work/ours-new.txt"
i=0
while [ $i -lt "$runs" ]; do
    rm -f "$KW_EMU_MEMORY"
    ours download "$build/bin/stlink" "$work/a.bin" >> "$work/ours-new.txt"
    i=$((i + 1))
done
# Images in turns, after one unmeasured download of B.
set -- "$work/b.bin"
i=0
while [ $i -lt "$runs" ]; do
    if [ $((i % 2)) -eq 0 ]; then set -- "$@" "$work/a.bin"; else set -- "$@" "$work/b.bin"; fi
    i=$((i + 1))
done
last=$(eval echo "\${$#}")
ours download "$build/bin/stlink" "$@" | tail -n +2 > "$work/ours-changed.txt"
ours readback "$build/bin/stlink" "$last" "$runs" > "$work/ours-readback.txt"

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
: > "$work/openocd-new.txt"
: > "$work/openocd-changed.txt"
i=0
while [ $i -lt "$runs" ]; do
    rm -f "$KW_EMU_MEMORY"
    openocd_run "$work/a.bin" >> "$work/openocd-new.txt"
    i=$((i + 1))
done
openocd_run "$work/b.bin" >/dev/null
i=0
while [ $i -lt "$runs" ]; do
    image=$work/a.bin
    [ $((i % 2)) -eq 1 ] && image=$work/b.bin
    openocd_run "$image" >> "$work/openocd-changed.txt"
    i=$((i + 1))
done

# spread FILE [COLUMN]: min median max of a column of milliseconds
spread() { sort -n -k "${2:-1}" "$1" | awk -v k="${2:-1}" '{ v[NR] = $k } END { printf "%s %s %s", v[1], v[int((NR + 1) / 2)], v[NR] }'; }
row() { # row LABEL "OURS" "OPENOCD COMMANDS" "OPENOCD WHOLE"
    set -- "$1" $2 $3 $4
    awk -v label="$1" -v runs="$runs" -v how="$how" -v dmin="$2" -v dmed="$3" -v dmax="$4" \
        -v omin="$5" -v omed="$6" -v omax="$7" -v wmed="$9" 'BEGIN {
        printf "| ST-LINK library: the tool'\''s 8 KB download (64 blocks, real pauses), %s, emulated probe, median of %d (min–max) | %.2f s (%.2f–%.2f) | ≤ 1.25 s | %s |\n", label, runs, dmed / 1000, dmin / 1000, dmax / 1000, how
        printf "| OpenOCD 0.12: load_image + verify_image of the same 8 KB, %s, same emulated probe, median of %d (min–max; whole run with start-up %.2f s) | %.2f s (%.2f–%.2f) | — | %s |\n", label, runs, wmed / 1000, omed / 1000, omin / 1000, omax / 1000, how
        printf "| Our download (pauses included) / OpenOCD load + verify, %s | %.2fx | < 1x | %s |\n", label, dmed / omed, how
    }'
}
row "new (erased) chip" "$(spread "$work/ours-new.txt")" "$(spread "$work/openocd-new.txt" 1)" \
    "$(spread "$work/openocd-new.txt" 2)"
row "every block changed" "$(spread "$work/ours-changed.txt")" \
    "$(spread "$work/openocd-changed.txt" 1)" "$(spread "$work/openocd-changed.txt" 2)"
set -- $(spread "$work/ours-readback.txt")
awk -v runs="$runs" -v how="$how" -v rmin="$1" -v rmed="$2" -v rmax="$3" 'BEGIN {
    printf "| ST-LINK library: read-back of 8 KB (256 blocks), same emulated probe, median of %d (min–max) | %.0f ms (%.0f–%.0f) | ≤ 150 ms | %s |\n", runs, rmed, rmin, rmax, how
}'
