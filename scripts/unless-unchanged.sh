#!/bin/bash
# Runs a check unless everything it reads is as it was when it last passed.
#
# usage: scripts/unless-unchanged.sh STAMP [--input PATH]... [--version-of PROGRAM]... -- COMMAND [ARG...]
#
#   STAMP               where the digest of the last pass is kept (a file of
#                       the build folder's)
#   --input PATH        a file or folder the check reads: its contents and
#                       names (folders whole, links as links)
#   --version-of PROG   what 'PROG --version' prints (a compiler, Wine)
#
# The digest also covers COMMAND and its arguments.  When it matches STAMP,
# says "unchanged since the last pass" and exits 0 without running COMMAND;
# otherwise runs COMMAND, and keeps the digest only when COMMAND passed.
# TEST_FRESH=1 runs COMMAND whatever STAMP says.  Exit: COMMAND's status, 2
# for bad arguments.
set -u

usage() { sed -n '4,16s/^# \{0,1\}//p' "$0"; }
die() { echo "unless-unchanged: $1" >&2; usage >&2; exit 2; }

[ $# -ge 1 ] || die "STAMP is missing"
case $1 in -h | --help) usage; exit 0 ;; esac
stamp=$1
shift
inputs=()
programs=()
while [ $# -gt 0 ] && [ "$1" != -- ]; do
    case $1 in
    --input) [ $# -ge 2 ] || die "--input wants a path"; inputs+=("$2"); shift 2 ;;
    --version-of) [ $# -ge 2 ] || die "--version-of wants a program"; programs+=("$2"); shift 2 ;;
    *) die "unknown argument '$1'" ;;
    esac
done
[ $# -ge 2 ] || die "-- COMMAND is missing"
shift

# What the check's result depends on, in one line.
digest() {
    local p
    {
        printf '%s\0' "$@"
        for p in "${inputs[@]}"; do
            if [ -d "$p" ] && [ ! -L "$p" ]; then
                find "$p" -print0 | LC_ALL=C sort -z | while IFS= read -r -d '' f; do
                    if [ -L "$f" ]; then
                        printf '%s -> %s\n' "$f" "$(readlink "$f")"
                    elif [ -f "$f" ]; then
                        printf '%s %s\n' "$f" "$(sha256sum <"$f" | cut -d' ' -f1)"
                    else
                        printf '%s\n' "$f"
                    fi
                done
            elif [ -e "$p" ] || [ -L "$p" ]; then
                printf '%s %s\n' "$p" "$(sha256sum <"$p" | cut -d' ' -f1)"
            else
                printf '%s missing\n' "$p"
            fi
        done
        for p in "${programs[@]}"; do
            "$p" --version 2>&1 | head -n 5
        done
    } | sha256sum | cut -d' ' -f1
}

key=$(digest "$@")
if [ "${TEST_FRESH:-}" != 1 ] && [ -f "$stamp" ] && [ ! -L "$stamp" ] &&
    [ "$(head -c 100 "$stamp")" = "$key" ]; then
    echo "unchanged since the last pass ($stamp): not run again (TEST_FRESH=1 runs it)"
    exit 0
fi
rm -f "$stamp"
"$@"
status=$?
if [ $status -eq 0 ]; then
    # Written aside and renamed in: a link in its place is replaced, never followed.
    mkdir -p "$(dirname "$stamp")"
    rm -f "$stamp.new" && (set -C; echo "$key" >"$stamp.new") && mv -f "$stamp.new" "$stamp"
fi
exit $status
