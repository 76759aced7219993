#!/bin/sh
# Intel HEX load benchmarks. Measures in-process decode throughput, then converts one
# generated file of ~40 MB (an 8 KB image repeated as 16-byte records) to binary with
# kw_hex2bin, srec_cat and objcopy, timed as whole processes side by side in the same run;
# last, the peak memory of loading a generated file of ~1 GB, removed right after.
# Prints Markdown table rows: | measurement | result | goal | reproduce with |
#
# usage: bench/hexload.sh BUILD_DIR      (a Release build holding bin/bench_hexload and
#                                          bin/kw_hex2bin; KW_HEX_MB sets the file size,
#                                          KW_HEX_PEAK_MB the large file's, KW_HEX_TIMER=date
#                                          times without hyperfine)
set -eu

build=${1:?usage: bench/hexload.sh BUILD_DIR}
bin=$build/bin
mb=${KW_HEX_MB:-40}
peak_mb=${KW_HEX_PEAK_MB:-1000}
runs=${KW_HEX_RUNS:-10}
for tool in "$bin/bench_hexload" "$bin/kw_hex2bin"; do
    [ -x "$tool" ] || { echo "hexload.sh: $tool not built" >&2; exit 1; }
done
for tool in srec_cat objcopy; do
    command -v $tool >/dev/null || { echo "hexload.sh: $tool not installed" >&2; exit 1; }
done

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT INT TERM
hex=$work/image.hex
"$bin/bench_hexload" --write "$hex" --mb "$mb"
size=$(wc -c <"$hex")

# The repeated image makes every byte after the first pass a redundant rewrite; srec_cat
# would print a warning for each of them (millions of lines), so those warnings are off.
ours="$bin/kw_hex2bin $hex $work/ours.bin 8192"
srec="srec_cat -disable-sequence-warnings -redundant-bytes=ignore $hex -intel -o $work/srec.bin -binary"
objc="objcopy -I ihex -O binary $hex $work/objcopy.bin"

# All three must produce the same image, or the comparison means nothing.
$ours && $srec && $objc
cmp -s "$work/ours.bin" "$work/srec.bin" || { echo "hexload.sh: srec_cat output differs" >&2; exit 1; }
cmp -s "$work/ours.bin" "$work/objcopy.bin" || { echo "hexload.sh: objcopy output differs" >&2; exit 1; }

"$bin/bench_hexload" --mb "$mb" 2>/dev/null

# Median wall time in milliseconds of each command, in the order given, one per line.
if [ "${KW_HEX_TIMER:-}" != date ] && command -v hyperfine >/dev/null && command -v jq >/dev/null; then
    hyperfine -N --style none --warmup 1 --runs "$runs" --export-json "$work/times.json" \
        "$ours" "$srec" "$objc" >/dev/null
    times=$(jq -r '.results[].median * 1000' "$work/times.json")
else
    times=$(for cmd in "$ours" "$srec" "$objc"; do
        i=0
        while [ $i -lt "$runs" ]; do
            start=$(date +%s%N)
            $cmd
            stop=$(date +%s%N)
            echo $(((stop - start) / 1000))
            i=$((i + 1))
        done | sort -n | awk '{ v[NR] = $1 } END { printf "%.3f\n", v[int((NR + 1) / 2)] / 1000 }'
    done)
fi

set -- $times
awk -v size="$size" -v ours="$1" -v srec="$2" -v objc="$3" -v build="$build" 'BEGIN {
    mb = size / 1e6
    how = "`sh bench/hexload.sh " build "`"
    printf "| Intel HEX to binary, whole process, %.0f MB: kw_hex2bin | %.0f ms (%.0f MB/s) | — | %s |\n", mb, ours, mb / ours * 1000, how
    printf "| Intel HEX to binary, whole process, %.0f MB: srec_cat | %.0f ms (%.0f MB/s) | — | %s |\n", mb, srec, mb / srec * 1000, how
    printf "| Intel HEX to binary, whole process, %.0f MB: objcopy | %.0f ms (%.0f MB/s) | — | %s |\n", mb, objc, mb / objc * 1000, how
    printf "| kw_hex2bin faster than srec_cat, same file, same run | %.1fx | ≥ 5x | %s |\n", srec / ours, how
    printf "| kw_hex2bin faster than objcopy, same file, same run | %.1fx | ≥ 2.5x | %s |\n", objc / ours, how
}'

# Memory follows the image, not the file.
"$bin/bench_hexload" --write "$work/large.hex" --mb "$peak_mb"
"$bin/bench_hexload" --peak "$work/large.hex"
rm -f "$work/large.hex"
