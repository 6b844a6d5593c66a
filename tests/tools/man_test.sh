#!/bin/bash
# The man pages render without a warning, and each has the sections a
# reader looks for.
# usage: man_test.sh PAGE...
set -u
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
done
[ $failed = 0 ] && echo "man pages: $# rendered without a warning"
exit $failed
