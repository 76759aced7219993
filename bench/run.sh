#!/bin/sh
# The benchmark report: one Markdown table of every piece's rows, headed by the machine.
# A piece that fails leaves a "failed" row and its error output after the table; the script
# then exits 1, after the other pieces have run.
#
# usage: bench/run.sh BUILD_DIR      (a Release build with the bench targets built)
set -u

build=${1:?usage: bench/run.sh BUILD_DIR}
here=$(dirname "$0")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT INT TERM

cpu=$(sed -n 's/^model name[[:space:]]*:[[:space:]]*//p' /proc/cpuinfo | head -n 1)
cores=$(nproc)
mem=$(awk '/^MemTotal:/ { printf "%.1f GiB", $2 / 1048576 }' /proc/meminfo)
os=$(. /etc/os-release && echo "$PRETTY_NAME")
load=$(cut -d ' ' -f 1-3 /proc/loadavg)
echo "KALIWIRE benchmarks on ${cpu:-unknown CPU}, $cores cores, $mem, $os, $(date -u '+%Y-%m-%d %H:%M UTC'), load average $load"
echo
echo "| measurement | result | goal | reproduce with |"
echo "|---|---|---|---|"

failed=""
for piece in hexload grid transfer startup stlink production; do
    how="\`sh bench/$piece.sh $build\`"
    sh "$here/$piece.sh" "$build" >"$work/out" 2>"$work/$piece.err"
    status=$?
    # Only table rows go into the table; anything else a piece prints goes with its errors.
    grep '^|' "$work/out"
    grep -v '^|' "$work/out" >>"$work/$piece.err"
    if [ $status -ne 0 ]; then
        echo "| $piece benchmarks | failed (exit status $status; its errors follow the table) | — | $how |"
        failed="$failed $piece"
    fi
done

for piece in $failed; do
    echo >&2
    echo "bench/$piece.sh failed; its error output:" >&2
    cat "$work/$piece.err" >&2
done
[ -z "$failed" ]
