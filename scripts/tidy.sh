#!/bin/sh
# clang-tidy over the given sources (default: every .cpp the build compiles that changed
# against main), with the build's compile commands minus the GCC-only flags clang rejects.
#   scripts/tidy.sh BUILD_DIR [file.cpp ...]
set -eu
build=${1:?usage: scripts/tidy.sh BUILD_DIR [file.cpp ...]}
shift
db=$(mktemp -d)
trap 'rm -rf "$db"' EXIT INT TERM
sed 's/ -fno-gnu-unique//g' "$build/compile_commands.json" >"$db/compile_commands.json"
if [ $# -eq 0 ]; then
    set -- $(git diff --name-only --diff-filter=AM main -- '*.cpp')
fi
[ $# -eq 0 ] && { echo "nothing to check"; exit 0; }
clang-tidy -p "$db" --quiet "$@"
