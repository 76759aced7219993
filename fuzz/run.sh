#!/bin/sh
# Builds the fuzz targets with libFuzzer, AddressSanitizer and UndefinedBehaviorSanitizer,
# then runs each for a bounded time on a working copy of its seed corpus. A crash, leak or
# timeout input it finds is saved into fuzz/corpus/<target>/, where the test suite replays it
# (fuzz/CMakeLists.txt): commit it with the fix. Out-of-memory inputs stay in the build folder.
#
#   FUZZ_SECONDS  seconds per target (default 60)
#   FUZZ_TARGETS  targets to run (default: all)
#   FUZZ_BUILD    build and work folder (default: build-fuzz in the source tree)
#   CXX           compiler (default: clang++)
#
# Exit status 0 only when every target built and found nothing.

set -u

ROOT=$(cd "$(dirname "$0")/.." && pwd)
OUT=${FUZZ_BUILD:-$ROOT/build-fuzz}
SECONDS_EACH=${FUZZ_SECONDS:-60}
TARGETS=${FUZZ_TARGETS:-"fuzz_intelhex fuzz_binary fuzz_profile"}
CXX=${CXX:-clang++}

SAN="-fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer"
COMMON="-std=c++20 -g -O1 -I$ROOT $SAN"
WARN="-Wall -Wextra -Wpedantic"
# Table-building constexpr code in the loaders needs more steps than clang allows by default.
CORE_EXTRA="-fconstexpr-steps=33554432"

mkdir -p "$OUT/obj" "$OUT/bin" "$OUT/logs"
status=0

# The core sources go into one archive, so each target pulls in only what it uses. A source
# that does not compile only costs the targets that need it.
rm -f "$OUT/libcore.a" "$OUT"/obj/*.o
for src in "$ROOT"/image/*.cpp "$ROOT"/settings/*.cpp; do
    obj="$OUT/obj/$(basename "$(dirname "$src")")_$(basename "$src" .cpp).o"
    if ! $CXX $COMMON $WARN $CORE_EXTRA -fsanitize=fuzzer-no-link -c "$src" -o "$obj" \
            2>"$obj.log"; then
        echo "build: $src does not compile (see $obj.log)"
        cat "$obj.log" | head -20
        status=1
    fi
done
ar rcs "$OUT/libcore.a" "$OUT"/obj/*.o 2>/dev/null

# Longest input per target: a raw image must be able to outgrow the largest flash.
max_len() {
    case $1 in
    fuzz_binary) echo 20000 ;;
    fuzz_intelhex) echo 16384 ;;
    *) echo 4096 ;;
    esac
}

summary=""
for t in $TARGETS; do
    bin="$OUT/bin/$t"
    if ! $CXX $COMMON $WARN -Werror -fsanitize=fuzzer "$ROOT/fuzz/$t.cpp" "$OUT/libcore.a" \
            -o "$bin" 2>"$OUT/logs/$t.build.log"; then
        head -30 "$OUT/logs/$t.build.log"
        summary="$summary
$t: BUILD FAILED (see $OUT/logs/$t.build.log)"
        status=1
        continue
    fi

    # The corpus grows in the build folder; the seeds in the repository stay as committed.
    corpus="$OUT/corpus/$t"
    artifacts="$OUT/artifacts/$t"
    mkdir -p "$corpus" "$artifacts"
    cp "$ROOT/fuzz/corpus/$t"/* "$corpus"/ 2>/dev/null
    marker="$OUT/logs/$t.start"
    : >"$marker"

    log="$OUT/logs/$t.log"
    echo "running $t for ${SECONDS_EACH}s ..."
    ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
        "$bin" -max_total_time="$SECONDS_EACH" -timeout=10 -rss_limit_mb=2048 \
        -max_len="$(max_len "$t")" -print_final_stats=1 -artifact_prefix="$artifacts/" \
        "$corpus" >"$log" 2>&1
    rc=$?

    execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
    found=$(find "$artifacts" -type f -newer "$marker" | sort)
    files=$(find "$corpus" -type f | wc -l)
    if [ "$rc" -eq 0 ] && [ -z "$found" ]; then
        result="nothing found"
    else
        status=1
        result="FOUND (exit $rc): ${found:-see log}; log $log"
        grep -m 5 -E 'ERROR|INVARIANT|runtime error|SUMMARY' "$log"
        for artifact in $found; do
            case $(basename "$artifact") in
            crash-* | leak-* | timeout-*)
                cp "$artifact" "$ROOT/fuzz/corpus/$t/"
                echo "saved for the test suite: fuzz/corpus/$t/$(basename "$artifact")"
                ;;
            esac
        done
    fi
    summary="$summary
$t: ${execs:-?} executions in ${SECONDS_EACH}s, corpus $files files, $result"
done

echo
echo "fuzz summary:$summary"
exit $status
