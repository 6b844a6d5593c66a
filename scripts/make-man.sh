#!/bin/bash
# Writes a tool's man page from its own --help and --version, with
# help2man.  A tool with sub-commands gets a COMMANDS section with the help
# of each of them, and of theirs.
# usage: make-man.sh TOOL OUT.1 "WHAT IT IS"
set -euo pipefail
tool=$1 out=$2 what=$3
name=$(basename "$tool")
# The page's date is the commit's, not the build's.
if [ -z "${SOURCE_DATE_EPOCH:-}" ]; then
  SOURCE_DATE_EPOCH=$(git -C "$(dirname "$0")" log -1 --format=%ct 2>/dev/null || true)
  [ -n "$SOURCE_DATE_EPOCH" ] && export SOURCE_DATE_EPOCH
fi
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# The commands a help lists: the first word of each line under "Commands:".
commands() {
  $1 --help | sed -n '/^Commands:$/,/^$/{s/^  \([a-z][a-z-]*\) .*/\1/p}'
}

# A command's help as roff, help2man's page less its head, its sections as
# bold paragraph heads: a part of the tool's page.
body() {
  help2man -N --version-string=- "$1" |
    sed -e '1,/^\.SH DESCRIPTION/d' -e 's/^\.SH OPTIONS$/.SH "Options:"/' \
      -e 's/^\.S[HS] "*\([^"]*\)"*$/.PP\n.B \1/'
}

# Each command under the command line $1 (the tool's path, then the words
# so far), shown as $2, depth first.
walk() {
  local c
  for c in $(commands "$1"); do
    printf '.SS "%s"\n' "$($1 $c --help | sed -n 's/^Usage: //p')"
    body "$1 $c"
    walk "$1 $c" "$2 $c"
  done
}

{
  if [ -n "$(commands "$tool")" ]; then
    echo "[COMMANDS]"
    walk "$tool" "$name"
  fi
  echo "[SEE ALSO]"
  for t in board pinctl controlpanel; do
    [ "$t" = "$name" ] || printf '.BR %s (1)\n' "$t"
  done
} | sed '$!s/^\(\.BR .*\)$/\1,/' >"$work/include"

help2man -N -n "$what" --include="$work/include" -o "$work/page" "$tool"
# The tool's path as it was built is no part of the page.
sed -i "s|$(dirname "$tool")/||g" "$work/page"
mv "$work/page" "$out"
