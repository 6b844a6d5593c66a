#!/bin/bash
# make test's skip of a check whose inputs are as at its last pass
# (scripts/unless-unchanged.sh): what runs it again, and what must not.
# usage: unless_unchanged_test.sh SCRIPT
set -u
script=$1
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
cd "$dir" || exit 1
mkdir in
echo one >in/a
echo one >file
failed=0

# runs WANT [ENV...]: the check (which counts its runs) ran (1) or not (0).
runs() {
    local want=$1 before after
    shift
    before=$(cat count 2>/dev/null || echo 0)
    env "$@" "$script" stamp --input in --input file -- sh -c 'echo $(( $(cat count 2>/dev/null || echo 0) + 1 )) >count; [ ! -e fail ]' >/dev/null
    after=$(cat count 2>/dev/null || echo 0)
    if [ $((after - before)) -ne "$want" ]; then
        echo "FAIL line ${BASH_LINENO[0]}: ran $((after - before)) times, not $want"
        failed=1
    fi
}

runs 1                       # no stamp yet
runs 0                       # nothing changed
echo two >in/a; runs 1       # a file of a folder
runs 0
touch in/b; runs 1           # a new file
ln -s a in/c; runs 1         # a link, taken as a link
echo two >file; runs 1       # a file given alone
runs 1 TEST_FRESH=1          # asked for
touch fail; runs 1 TEST_FRESH=1; runs 1  # a failed run keeps no stamp
rm fail; runs 1; runs 0
# The stamp a link: replaced, never written through.
echo keep >target
rm -f stamp; ln -s target stamp
runs 1
[ "$(cat target)" = keep ] || { echo "FAIL: the stamp was written through a link"; failed=1; }
[ -L stamp ] && { echo "FAIL: the link is still in the stamp's place"; failed=1; }
runs 0
# Bad arguments: status 2.
"$script" stamp --input >/dev/null 2>&1; [ $? -eq 2 ] || { echo "FAIL: --input without a path is not a usage error"; failed=1; }
"$script" stamp --input in >/dev/null 2>&1; [ $? -eq 2 ] || { echo "FAIL: no command is not a usage error"; failed=1; }
[ $failed -eq 0 ] && echo "unless-unchanged: all passed"
exit $failed
