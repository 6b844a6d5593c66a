#!/bin/sh
# usage: scripts/timed.sh NAME LOG COMMAND [ARGS...]
# Runs the step NAME (COMMAND) with its output going to the file LOG, and
# says when it starts and how long it took.  When it passes, only the
# lines of LOG that sum up tests are shown ("100% tests passed, ...",
# "N passed, M failed"); when it fails, all of LOG.  Exits with COMMAND's
# status.
if [ "$#" -lt 3 ] || [ "$1" = "--help" ]; then
    echo "usage: scripts/timed.sh NAME LOG COMMAND [ARGS...]" >&2
    [ "$1" = "--help" ]
    exit
fi
name=$1
log=$2
shift 2
mkdir -p "$(dirname "$log")" || exit
echo "== $name: started"
start=$(date +%s)
"$@" >"$log" 2>&1
status=$?
took=$(($(date +%s) - start))
if [ "$status" -eq 0 ]; then
    grep -E '^(100% tests passed|[0-9]+ passed, [0-9]+ failed)' "$log" | sed "s/^/   $name: /"
    echo "== $name: passed in ${took}s (output in $log)"
else
    cat "$log"
    echo "== $name: FAILED (status $status) after ${took}s (output in $log)"
fi
exit "$status"
