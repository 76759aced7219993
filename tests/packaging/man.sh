#!/bin/sh
# The manual pages render without a warning from man or groff, as `man -l` shows them.
#   man.sh FOLDER_WITH_PAGES
set -u
status=0
for page in "$1"/*.1; do
    warnings=$(LC_ALL=C.UTF-8 MANROFFSEQ='' MANWIDTH=80 man --warnings -E UTF-8 -l "$page" 2>&1 >/dev/null)
    if [ -n "$warnings" ]; then
        echo "$page:"
        echo "$warnings"
        status=1
    fi
    # Every page names its program and says how to call it.
    text=$(LC_ALL=C.UTF-8 MANWIDTH=80 man -E UTF-8 -l "$page" 2>/dev/null)
    for section in NAME SYNOPSIS DESCRIPTION; do
        echo "$text" | grep -q "^$section" || { echo "$page: no $section section"; status=1; }
    done
done
[ $status = 0 ] && echo "manual pages ok"
exit $status
