#!/bin/bash
# Packs a Release build as the Debian package of the host tools (cpack,
# cmake/package.cmake) into BUILD/package, then has lintian look at it:
# its warnings are shown, an error fails.  Prints the package's path last.
#
# usage: scripts/make-deb.sh BUILD
set -u
if [ $# -ne 1 ] || [ "$1" = --help ]; then
    echo "usage: scripts/make-deb.sh BUILD" >&2
    [ "${1:-}" = --help ]
    exit
fi
build=$(cd "$1" && pwd) || exit 1
grep -q '^CMAKE_BUILD_TYPE:STRING=Release$' "$build/CMakeCache.txt" ||
    { echo "make-deb.sh: $build is no Release build" >&2; exit 1; }

rm -rf "$build/package"
out=$(cd "$build" && cpack -G DEB 2>&1) || { echo "$out"; exit 1; }
deb=$(ls "$build"/package/*.deb 2>/dev/null)
[ "$(echo "$deb" | wc -w)" -eq 1 ] || { echo "$out"; echo "make-deb.sh: no single package in $build/package" >&2; exit 1; }

# lintian exits 1 on an error; its note on running as root is no finding.
lintian "$deb" 2>&1 | grep -v '^running with root privileges'
status=${PIPESTATUS[0]}
[ "$status" -eq 0 ] || { echo "make-deb.sh: lintian found errors in $deb" >&2; exit 1; }
echo "$deb"
