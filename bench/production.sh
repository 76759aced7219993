#!/bin/sh
# Production benchmarks over the emulated probe and chip (the stand-in libusb, real time), one
# emulator for every row: a 112-byte SDCC program written and verified by kwflash through the
# ST-LINK library, beside OpenOCD's load_image + verify_image of the same file and
# stm8flash's write alone (no verify), each to a new (erased) chip; the USB transfers of one
# run of each; boards per minute in `kwflash write --loop` with the emulator's board swap.
# Prints Markdown table rows: | measurement | result | goal | reproduce with |
#
# usage: bench/production.sh BUILD_DIR   (a Release build; KW_PRODUCTION_RUNS sets the runs, 5;
#        stm8flash is taken from $STM8FLASH or the PATH, its rows say so when there is none)
set -eu

build=${1:?usage: bench/production.sh BUILD_DIR}
runs=${KW_PRODUCTION_RUNS:-5}
here=$(dirname "$0")
how="\`sh bench/production.sh $build\`"
usb=$build/emulator/usb
if ! log=$(cmake --build "$build" --target kwflash stlink_library kw_libusb_standin \
    kaliwire-programmer 2>&1); then
    printf '%s\n' "$log" >&2
    echo "bench/production.sh: building kwflash and the ST-LINK library in $build failed" >&2
    exit 1
fi
command -v sdcc >/dev/null || { echo "bench/production.sh: sdcc not installed" >&2; exit 1; }
command -v openocd >/dev/null || { echo "bench/production.sh: openocd not installed" >&2; exit 1; }
stm8flash=${STM8FLASH:-$(command -v stm8flash || true)}

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT INT TERM
sdcc -mstm8 --out-fmt-ihx "$here/production_blink.c" -o "$work/blink.ihx" >/dev/null
# Data bytes of the HEX file's data records.
bytes=$(awk '/^:/ && substr($0, 8, 2) == "00" { n += ("0x" substr($0, 2, 2)) + 0 } END { print n }' "$work/blink.ihx")
export KW_EMU_MEMORY="$work/chip.bin" KW_EMU_TIME_SCALE=1
unset KW_EMU_FAULTS KW_EMU_CHIP KW_EMU_PRODUCT KW_EMU_USB_US KW_EMU_TRACE KW_EMU_PROBES

now() { date +%s%N; }
# timed FILE COMMAND...: one run on a new chip, its milliseconds appended to FILE
timed() {
    file=$1
    shift
    rm -f "$KW_EMU_MEMORY"
    start=$(now)
    if ! out=$(LD_LIBRARY_PATH="$usb" timeout 60 "$@" 2>&1); then
        printf '%s\n' "$out" >&2
        echo "bench/production.sh: $1 failed" >&2
        exit 1
    fi
    end=$(now)
    echo $(( (end - start) / 1000000 )) >> "$file"
}
kwflash_write() {
    "$build/bin/kwflash" write "$work/blink.ihx" --quiet --library="$build/bin/stlink/TOLVANEX.dll"
}
openocd_write() {
    openocd -f interface/stlink-dap.cfg -f target/stm8s103.cfg -c 'gdb_port disabled' \
        -c 'tcl_port disabled' -c 'telnet_port disabled' -c init -c "reset halt" \
        -c "load_image $work/blink.ihx 0 ihex" -c "verify_image $work/blink.ihx 0 ihex" -c shutdown
}
stm8flash_write() { "$stm8flash" -c stlinkv2 -p stm8s103f3 -w "$work/blink.ihx"; }

: > "$work/kwflash.txt"
: > "$work/openocd.txt"
: > "$work/stm8flash.txt"
i=0
while [ $i -lt "$runs" ]; do
    timed "$work/kwflash.txt" kwflash_write
    timed "$work/openocd.txt" openocd_write
    [ -n "$stm8flash" ] && timed "$work/stm8flash.txt" stm8flash_write
    i=$((i + 1))
done

# USB transfers of one run, whatever the machine: the emulator's trace numbers every line
# with the transfers so far.
transfers() { # transfers COMMAND
    rm -f "$KW_EMU_MEMORY"
    KW_EMU_TRACE=1 LD_LIBRARY_PATH="$usb" timeout 60 "$@" >/dev/null 2> "$work/trace.txt" || true
    sed -n 's/^kw-emu #\([0-9]*\):.*/\1/p' "$work/trace.txt" | tail -n 1
}
kw_usb=$(transfers kwflash_write)
oo_usb=$(transfers openocd_write)
sf_usb=—
[ -n "$stm8flash" ] && sf_usb=$(transfers stm8flash_write)

spread() { sort -n "$1" | awk '{ v[NR] = $1 } END { printf "%s %s %s", v[1], v[int((NR + 1) / 2)], v[NR] }'; }
set -- $(spread "$work/kwflash.txt") $(spread "$work/openocd.txt")
kmin=$1 kmed=$2 kmax=$3 omin=$4 omed=$5 omax=$6
echo "| kwflash write + verify of a $bytes-byte SDCC program through the ST-LINK library, new chip, emulated probe, whole process, median of $runs (min–max) | $kmed ms ($kmin–$kmax; $kw_usb USB transfers) | < OpenOCD, ≤ 2× stm8flash | $how |"
echo "| OpenOCD 0.12 load_image + verify_image of the same file, same emulated probe, whole process, median of $runs (min–max) | $omed ms ($omin–$omax; $oo_usb USB transfers) | — | $how |"
awk -v k="$kmed" -v o="$omed" -v how="$how" 'BEGIN { printf "| kwflash write + verify / OpenOCD load + verify, same file | %.2fx | < 1x | %s |\n", k / o, how }'
if [ -n "$stm8flash" ]; then
    set -- $(spread "$work/stm8flash.txt")
    echo "| stm8flash write alone (no verify) of the same file, same emulated probe, whole process, median of $runs (min–max) | $2 ms ($1–$3; $sf_usb USB transfers) | — | $how |"
    awk -v k="$kmed" -v s="$2" -v how="$how" 'BEGIN { printf "| kwflash write + verify / stm8flash write alone, same file | %.2fx | ≤ 2x | %s |\n", k / s, how }'
else
    echo "| stm8flash write alone of the same file | stm8flash not found (set STM8FLASH) | — | $how |"
fi
