#!/bin/sh
# Prints each Windows deliverable and its size in bytes; marks one that
# has outgrown the 24 KB each should stay under.
set -eu
dir=$1
for f in kestrin.dll Pinvane.cpl Dovrel.cpl Hemlark.cpl Velmorra.exe; do
  if [ -f "$dir/$f" ]; then
    size=$(stat -c %s "$dir/$f")
    note=""
    [ "$size" -le 24576 ] || note="  (over 24 KB)"
    printf '%-14s %7d bytes%s\n' "$f" "$size" "$note"
  fi
done
