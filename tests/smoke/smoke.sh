#!/bin/sh
# The real executable starts, shows its main window, and exits with status 0 when its window
# is closed (SIGTERM closes it like the close button).
#   smoke.sh KALIWIRE [offscreen|xvfb]
set -u
EXE=$1
MODE=${2:-offscreen}
STATE=$(mktemp -d)
trap 'rm -rf "$STATE"' EXIT
export XDG_STATE_HOME="$STATE"

if [ "$MODE" = xvfb ]; then
    command -v xvfb-run >/dev/null || { echo "xvfb-run missing"; exit 1; }
    export QT_QPA_PLATFORM=xcb
    exec xvfb-run -a -s "-screen 0 1024x768x24" sh -c '
        "$0" & pid=$!
        for i in $(seq 1 50); do
            if xwininfo -root -tree 2>/dev/null | grep -q "STM8S SWIM"; then found=1; break; fi
            sleep 0.1
        done
        [ "${found:-0}" = 1 ] || { echo "main window never appeared"; kill $pid; exit 1; }
        echo "main window shown"
        kill -TERM $pid; wait $pid; rc=$?
        echo "exit status $rc"; exit $rc' "$EXE"
fi

QT_QPA_PLATFORM=offscreen "$EXE" & pid=$!
sleep 1.5
kill -0 $pid 2>/dev/null || { echo "the tool ended before it was closed"; exit 1; }
kill -TERM $pid
wait $pid
rc=$?
echo "exit status $rc"
exit $rc
