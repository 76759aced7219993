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
loop=
trap '[ -z "$loop" ] || kill "$loop" 2>/dev/null; rm -rf "$work"' EXIT INT TERM
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
    if ! out=$("$@" 2>&1); then
        printf '%s\n' "$out" >&2
        echo "bench/production.sh: $1 failed" >&2
        exit 1
    fi
    end=$(now)
    echo $(( (end - start) / 1000000 )) >> "$file"
}
kwflash_write() {
    LD_LIBRARY_PATH="$usb" timeout 60 "$build/bin/kwflash" write "$work/blink.ihx" --quiet --library="$build/bin/stlink/TOLVANEX.dll"
}
openocd_write() {
    LD_LIBRARY_PATH="$usb" timeout 60 openocd -f interface/stlink-dap.cfg -f target/stm8s103.cfg -c 'gdb_port disabled' \
        -c 'tcl_port disabled' -c 'telnet_port disabled' -c init -c "reset halt" \
        -c "load_image $work/blink.ihx 0 ihex" -c "verify_image $work/blink.ihx 0 ihex" -c shutdown
}
stm8flash_write() { LD_LIBRARY_PATH="$usb" timeout 60 "$stm8flash" -c stlinkv2 -p stm8s103f3 -w "$work/blink.ihx"; }

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
# with the transfers so far in its process; kwflash's sessions each run in a helper process
# of their own, so the count starts again at each and the runs' last numbers are added.
sum_runs() { awk '$1 < last { total += last } { last = $1 } END { print total + last }'; }
transfers() { # transfers COMMAND
    rm -f "$KW_EMU_MEMORY"
    KW_EMU_TRACE=1 "$@" >/dev/null 2> "$work/trace.txt" || true
    sed -n 's/^kw-emu #\([0-9]*\):.*/\1/p' "$work/trace.txt" | sum_runs
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

# Boards per minute in --loop: a technician script swaps the emulator's board file the moment
# kwflash reports a board (its JSON line) and puts the next one on the moment kwflash is
# ready for it, so the figure is kwflash's own: looking for the chip both ways, programming,
# verifying. The emulator's trace counts the USB transfers of the whole run.
boards=${KW_PRODUCTION_BOARDS:-10}
export KW_EMU_BOARD_FILE="$work/board"
put() { echo "$1" > "$work/board.new" && mv "$work/board.new" "$work/board"; }
lines() { n=$(grep -c "$2" "$1" 2>/dev/null) || true; echo "${n:-0}"; }
until_seen() { # until_seen FILE PATTERN COUNT: within a minute, else the bench fails
    n=0
    while [ "$(lines "$1" "$2")" -lt "$3" ]; do
        n=$((n + 1))
        [ $n -lt 6000 ] || { echo "bench/production.sh: the loop stopped: $(cat "$work/loop.err")" >&2; exit 1; }
        sleep 0.01
    done
}
put none
rm -f "$KW_EMU_MEMORY"*
KW_EMU_TRACE=1 LD_LIBRARY_PATH="$usb" "$build/bin/kwflash" write "$work/blink.ihx" --loop --json \
    --library="$build/bin/stlink/TOLVANEX.dll" > "$work/loop.jsonl" 2> "$work/loop.err" &
loop=$!
until_seen "$work/loop.err" "Waiting for a board" 1
start=$(now)
i=1
while [ $i -le "$boards" ]; do
    put "board$i"
    until_seen "$work/loop.jsonl" '"result"' $i
    put none
    until_seen "$work/loop.err" "Ready for the next board" $i
    i=$((i + 1))
done
end=$(now)
# SIGTERM ends a loop as Ctrl+C does (a background job of a script ignores SIGINT).
kill -TERM $loop
wait $loop || true
loop=
passed=$(grep -c '"result":"PASS"' "$work/loop.jsonl" || true)
loop_usb=$(sed -n 's/^kw-emu #\([0-9]*\):.*/\1/p' "$work/loop.err" | sum_runs)
per_board=$(awk -F'"seconds":' '/"seconds":/ { split($2, v, "}"); s += v[1]; n++ } END { printf "%.0f", s * 1000 / n }' "$work/loop.jsonl")
awk -v b="$boards" -v p="$passed" -v ms=$(( (end - start) / 1000000 )) -v usb="$loop_usb" -v pb="$per_board" -v how="$how" 'BEGIN {
    printf "| kwflash write --loop of the %s-byte program, %d boards swapped on the emulated probe by a script (%d passed), USB traced | %.1f boards per minute (%.2f s per board, %d ms of it programming and verifying; %.0f USB transfers per board) | — | %s |\n", '"$bytes"', b, p, b * 60000 / ms, ms / 1000 / b, pb, usb / b, how
}'
