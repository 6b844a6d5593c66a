#!/bin/sh
# Prints each Windows deliverable and its size in bytes.
set -eu
dir=$1
for f in kestrin.dll Pinvane.cpl Dovrel.cpl Hemlark.cpl Velmorra.exe; do
  if [ -f "$dir/$f" ]; then
    printf '%-14s %7d bytes\n' "$f" "$(stat -c %s "$dir/$f")"
  fi
done
