#!/bin/sh
# usage: scripts/timed.sh NAME COMMAND [ARGS...]
# Runs COMMAND and then says how long the step NAME took and whether it
# passed; exits with COMMAND's status.
if [ "$#" -lt 2 ] || [ "$1" = "--help" ]; then
    echo "usage: scripts/timed.sh NAME COMMAND [ARGS...]" >&2
    [ "$1" = "--help" ]
    exit
fi
name=$1
shift
start=$(date +%s)
"$@"
status=$?
took=$(($(date +%s) - start))
if [ "$status" -eq 0 ]; then
    echo "== $name: passed in ${took}s"
else
    echo "== $name: FAILED (status $status) after ${took}s"
fi
exit "$status"
