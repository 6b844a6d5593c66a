#!/bin/bash
# Installs a build into a stage folder as `make install DESTDIR=STAGE
# PREFIX=/usr` does, then runs the installed tools from there with the build
# folder renamed out of the way: they must find one another by paths
# relative to themselves.  Prints "N passed, M failed"; exit 1 on any
# failure.
#
# usage: scripts/check-install.sh BUILD [STAGE]   (STAGE: BUILD-stage)
set -u
if [ $# -lt 1 ] || [ "$1" = --help ]; then
    echo "usage: scripts/check-install.sh BUILD [STAGE]" >&2
    [ "${1:-}" = --help ]
    exit
fi
build=$(cd "$1" && pwd) || exit 1
stage=${2:-$build-stage}
hidden=$build.hidden-by-install-check
root=$(cd "$(dirname "$0")/.." && pwd)

. "$(dirname "$0")/checks.sh"
. "$(dirname "$0")/installed-checks.sh"

# A check killed before it put the folder back left it here.
[ -d "$hidden" ] && [ ! -e "$build" ] && mv "$hidden" "$build"

rm -rf "$stage"
mkdir -p "$stage" || exit 1
out=$(DESTDIR=$stage cmake --install "$build" --prefix /usr --strip 2>&1) || { echo "$out"; exit 1; }

mv "$build" "$hidden" || exit 1
trap 'mv "$hidden" "$build"' EXIT
trap 'exit 1' INT TERM HUP
expect "the build folder is out of the way" test ! -e "$build"
installed_checks "$stage/usr" "$build"
expect "no installed file names the sources ($root)" names_none "$stage" "$root"

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
