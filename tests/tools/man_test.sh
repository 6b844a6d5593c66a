#!/bin/bash
# The man pages render without a warning, each has the sections a reader
# looks for, and a tool's page has a part for each command its help lists.
# usage: man_test.sh BIN_DIR PAGE...
set -u
bin=$1
shift
failed=0
for page in "$@"; do
  if [ ! -s "$page" ]; then
    echo "FAIL: $page is missing (target man)"
    failed=1
    continue
  fi
  warnings=$(MANWIDTH=80 man --warnings -l "$page" 2>&1 >/dev/null)
  if [ -n "$warnings" ]; then
    echo "FAIL: $page: $warnings"
    failed=1
  fi
  text=$(MANWIDTH=80 man -l "$page" 2>/dev/null)
  for section in NAME SYNOPSIS DESCRIPTION OPTIONS "SEE ALSO"; do
    grep -q "^$section" <<<"$text" || { echo "FAIL: $page has no $section"; failed=1; }
  done
  tool=$(basename "$page" .1)
  for cmd in $("$bin/$tool" --help | sed -n '/^Commands:$/,/^$/{s/^  \([a-z][a-z-]*\) .*/\1/p}'); do
    grep -q "^   $tool $cmd\b" <<<"$text" || { echo "FAIL: $page has no part for '$tool $cmd'"; failed=1; }
  done
done
[ $failed = 0 ] && echo "man pages: $# rendered without a warning"
exit $failed
