#!/bin/bash
# Packs the integrators' bundle, OUT/boardutils-VERSION.zip: the five
# desktop binaries of a Windows build (bin/), the ce/ files and the product
# sources the board's build needs, the docs, and SHA256SUMS of them all.
# The same commit packs the same bytes in any folder: members in name
# order, every time the commit's (SOURCE_DATE_EPOCH), fixed modes, no
# owners (zip -X).  Prints the archive's path.
#
# usage: scripts/make-dist.sh BUILD_WIN OUT
set -u
if [ $# -ne 2 ] || [ "$1" = --help ]; then
    echo "usage: scripts/make-dist.sh BUILD_WIN OUT" >&2
    [ "${1:-}" = --help ]
    exit
fi
build=$(cd "$1" && pwd) || exit 1
out=$2
root=$(cd "$(dirname "$0")/.." && pwd)
die() { echo "make-dist.sh: $*" >&2; exit 1; }

version=$(cat "$build/boardutils-version" 2>/dev/null) ||
    die "$build/boardutils-version is missing: configure the Windows build first"
[ -n "$version" ] || die "$build/boardutils-version is empty"
if [ -z "${SOURCE_DATE_EPOCH:-}" ]; then
    SOURCE_DATE_EPOCH=$(git -C "$root" log -1 --format=%ct 2>/dev/null) ||
        die "no SOURCE_DATE_EPOCH and no commit to take it from"
fi

binaries="kestrin.dll Pinvane.cpl Dovrel.cpl Hemlark.cpl Velmorra.exe"
for b in $binaries; do
    [ -f "$build/bin/$b" ] || die "$build/bin/$b is missing: build it first (make dist)"
done

# The sources as the checkout has them: the board's build folders, the
# product (less the host's build files), platform.h with the desktop
# branch it includes, the record it shares and the served driver's frames
# (platform/win32/served.cpp), the docs.
sources=$(cd "$root" && git ls-files -- ce gpio applets usbsetup platform/platform.h platform/ras_entry.h platform/served_wire.h \
    platform/win32 docs README.md | grep -v '/CMakeLists\.txt$') || die "cannot list the sources in $root"

name=boardutils-$version
stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
top=$stage/$name
mkdir -p "$top/bin" || exit 1
for b in $binaries; do
    cp "$build/bin/$b" "$top/bin/$b" || exit 1
done
while IFS= read -r f; do
    mkdir -p "$top/$(dirname "$f")" && cp "$root/$f" "$top/$f" || exit 1
done <<<"$sources"
(cd "$top" && find . -type f ! -name SHA256SUMS | sed 's|^\./||' | LC_ALL=C sort |
    xargs -d '\n' sha256sum >SHA256SUMS) || exit 1

find "$top" -type d -exec chmod 755 {} + && find "$top" -type f -exec chmod 644 {} + &&
    find "$stage" -exec touch -h -d "@$SOURCE_DATE_EPOCH" {} + || exit 1
mkdir -p "$out" || exit 1
zipfile=$(cd "$out" && pwd)/$name.zip
rm -f "$zipfile"
# zip keeps local times: UTC, so that the machine's zone does not count.
(cd "$stage" && find "$name" -type f | LC_ALL=C sort |
    TZ=UTC zip -X -D -q -9 "$zipfile" -@) || die "zip failed"
echo "$zipfile"
