#!/bin/bash
# The bash completion of kwflash as bash runs it (complete -F with COMP_WORDS and COMP_CWORD),
# against the real kwflash: its chips, and the probes of an emulated bus through the ST-LINK
# library. Also `kwflash --version`, which the completion's users meet first.
#   completion.sh COMPLETION_FILE BIN_DIR EMULATED_USB_DIR VERSION
set -u
COMPLETION=$(realpath "$1")
BIN=$(realpath "$2")
KWFLASH=$BIN/kwflash               # beside the stand-in, which lists no probes
STLINK_KWFLASH=$BIN/stlink/kwflash # beside the ST-LINK library
EMU_USB=$(realpath "$3")
VERSION=$4
failures=0

. "$COMPLETION"
complete -p kwflash >/dev/null || { echo "FAIL: no completion registered for kwflash"; exit 1; }

# What bash offers for the last of the words given, sorted, joined by '|'.
offered() {
    COMP_WORDS=("$@")
    COMP_CWORD=$(($# - 1))
    COMP_LINE="$*"
    COMP_POINT=${#COMP_LINE}
    COMPREPLY=()
    _kwflash "$1" "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD - 1]}"
    ((${#COMPREPLY[@]} == 0)) && return
    printf '%s\n' "${COMPREPLY[@]}" | LC_ALL=C sort | paste -sd '|'
}

# expect WHAT WANTED WORD...: WANTED is the sorted offer, '|' between candidates.
expect() {
    local what=$1 want=$2
    shift 2
    local got
    got=$(offered "$@" 2>"$SCRATCH/stderr")
    if [[ $got != "$want" ]]; then
        echo "FAIL $what: offered [$got], expected [$want]"
        failures=$((failures + 1))
    fi
    if [[ -s $SCRATCH/stderr ]]; then
        echo "FAIL $what: the completion printed on the terminal: $(cat "$SCRATCH/stderr")"
        failures=$((failures + 1))
    fi
}

SCRATCH=$(mktemp -d)
trap 'rm -rf "$SCRATCH"' EXIT
export XDG_STATE_HOME=$SCRATCH/state TOLVANEX_STANDIN=delay=0
mkdir -p "$SCRATCH/images/sub" "$SCRATCH/images/out.hex.d"
cd "$SCRATCH/images"
touch a.hex b.IHX c.bin d.txt "e f.hex" noextension

K=$KWFLASH
expect "commands" "crc|help|list|options|probe|read|unlock|verify|write" "$K" ""
expect "a command's prefix" "verify" "$K" v
expect "options before a command" "--help|--version" "$K" --
expect "write's options" "--library|--log|--loop" "$K" write a.hex --l
expect "read's own options" "--area" "$K" read out.hex --a
expect "no production options for read" "" "$K" read out.hex --lo

# Image files: HEX and binary in any letter case, and folders to go on into.
expect "images" "a.hex|b.IHX|c.bin|e f.hex|out.hex.d|sub" "$K" write ""
expect "images after an option's value" "a.hex|b.IHX|c.bin|e f.hex|out.hex.d|sub" \
    "$K" write --chip STM8S103F3 ""
expect "images after every option that takes a value" "a.hex|b.IHX|c.bin|e f.hex|out.hex.d|sub" \
    "$K" write --serial-at 0x4000 --serial-start 1 --serial-step 2 --serial-format be32 \
    --serial-state s.txt --log log.jsonl --eeprom c.bin --swim low ""
expect "one image only" "" "$K" write a.hex ""
expect "EEPROM images" "a.hex|b.IHX|c.bin|e f.hex|out.hex.d|sub" "$K" write a.hex --eeprom ""

# Values: the chips kwflash knows, in any letter case, also after --chip=.
all_chips=$("$K" chips | LC_ALL=C sort | paste -sd '|')
[[ $all_chips == *STM8S103F3* && $all_chips == *STM8S003F3* ]] ||
    { echo "FAIL: kwflash chips printed [$all_chips]"; failures=$((failures + 1)); }
expect "chips" "$all_chips" "$K" write a.hex --chip ""
expect "chips by a lower-case prefix" "STM8S903F3|STM8S903K3" "$K" write a.hex --chip stm8s9
expect "chips after --chip=" "$all_chips" "$K" read out.bin --chip = ""
expect "areas" "all|eeprom|flash|option" "$K" read out.hex --area ""
expect "SWIM speeds" "auto|high|low" "$K" write a.hex --swim ""
expect "serial formats" "ascii:" "$K" write a.hex --serial-format as
expect "no guess for a number" "" "$K" write a.hex --serial-at ""

expect "options set" "set" "$K" options ""
expect "option names" "WWDG_HALT=|WWDG_HW=" "$K" options set WW
expect "a one-bit option's values" "off|on" "$K" options set LSI_EN = ""
expect "values in any letter case" "off" "$K" options set UBC = 4 wwdg_halt = of
expect "no guess for a byte's value" "" "$K" options set UBC = ""

# Probes: port paths, and only the serials that choose one probe (two clones share CLONE).
export LD_LIBRARY_PATH=$EMU_USB KW_EMU_MEMORY=$SCRATCH/chip.bin KW_EMU_PROBES=3 \
    KW_EMU_SERIALS=,CLONE,CLONE
expect "probes" "1-2|1-3.1|1-3.2|4B57454D5530303030303031" "$STLINK_KWFLASH" write a.hex --probe ""
expect "probes by prefix" "1-3.1|1-3.2" "$STLINK_KWFLASH" probe --probe 1-3
expect "probes through the --library given" "1-2|1-3.1|1-3.2|4B57454D5530303030303031" \
    "$K" write a.hex --library "$(dirname "$STLINK_KWFLASH")/TOLVANEX.dll" --probe ""
expect "no probes from a library that cannot list them" "" "$K" write a.hex --probe ""
unset LD_LIBRARY_PATH KW_EMU_PROBES KW_EMU_SERIALS

# The version, from the project's own, and the help as a command.
for call in --version version; do
    out=$("$K" $call)
    status=$?
    [[ $status == 0 && $out == "kwflash $VERSION" ]] ||
        { echo "FAIL: kwflash $call gave [$out], status $status"; failures=$((failures + 1)); }
done
out=$("$K" help)
[[ $? == 0 && $out == *"exit codes:"* ]] || { echo "FAIL: kwflash help"; failures=$((failures + 1)); }
"$K" version extra >/dev/null 2>&1
status=$?
[[ $status == 64 ]] || { echo "FAIL: kwflash version extra: status $status"; failures=$((failures + 1)); }

((failures == 0)) && echo "completion ok"
exit $((failures > 0))
