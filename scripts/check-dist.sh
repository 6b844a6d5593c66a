#!/bin/bash
# Checks the integrators' bundle of a Windows build (scripts/make-dist.sh):
# packed twice it is byte for byte the same, in name order; its SHA256SUMS
# verifies and covers every file; no PE file carries a time stamp or a path
# of the checkout; it holds the five binaries, every file the board's build
# folders name and every file a bundled source includes.  Prints "N passed,
# M failed"; exit 1 on any failure.
#
# usage: scripts/check-dist.sh BUILD_WIN
set -u
if [ $# -ne 1 ] || [ "$1" = --help ]; then
    echo "usage: scripts/check-dist.sh BUILD_WIN" >&2
    [ "${1:-}" = --help ]
    exit
fi
build=$(cd "$1" && pwd) || exit 1
root=$(cd "$(dirname "$0")/.." && pwd)

. "$(dirname "$0")/checks.sh"

work=$build/dist-check
rm -rf "$work" && mkdir -p "$work/one" "$work/two" "$work/open" || exit 1
one=$("$root/scripts/make-dist.sh" "$build" "$work/one") &&
    two=$("$root/scripts/make-dist.sh" "$build" "$work/two") ||
    { echo "0 passed, 1 failed"; exit 1; }
echo "$one"
expect "packed twice, the bundle is the same bytes" cmp "$one" "$two"

in_name_order() {
    [ "$(zipinfo -1 "$one")" = "$(zipinfo -1 "$one" | LC_ALL=C sort)" ]
}
expect "its members are in name order" in_name_order

(cd "$work/open" && unzip -q "$one") || exit 1
top=$(echo "$work/open"/*/)
top=${top%/}

sums_cover_all() {
    [ "$(cd "$top" && find . -type f ! -name SHA256SUMS | sed 's|^\./||' | LC_ALL=C sort)" = \
      "$(sed 's/^[0-9a-f]*  //' "$top/SHA256SUMS")" ]
}
expect "SHA256SUMS verifies" sh -c "cd '$top' && sha256sum --quiet -c SHA256SUMS"
expect "SHA256SUMS covers every other file" sums_cover_all

binaries="kestrin.dll Pinvane.cpl Dovrel.cpl Hemlark.cpl Velmorra.exe"
has_binaries() {
    [ "$(cd "$top/bin" && ls | LC_ALL=C sort | tr '\n' ' ')" = \
      "$(echo $binaries | tr ' ' '\n' | LC_ALL=C sort | tr '\n' ' ')" ]
}
expect "bin/ holds the five desktop binaries" has_binaries

# u32 FILE OFFSET: the little-endian 32-bit word at OFFSET.
u32() { od -An -t u4 -j "$2" -N 4 "$1" | tr -d ' '; }
# The COFF header's TimeDateStamp and the export table's are 0.
no_time_stamp() {
    local pe stamp exports
    pe=$(u32 "$1" 60)
    [ "$(od -An -c -j "$pe" -N 2 "$1" | tr -d ' ')" = PE ] || { echo "  no PE header"; return 1; }
    stamp=$(u32 "$1" $((pe + 8)))
    [ "$stamp" = 0 ] || { echo "  header time stamp $stamp"; return 1; }
    exports=$(x86_64-w64-mingw32-objdump -p "$1" | sed -n 's/^Time\/Date stamp[ \t]*//p')
    [ -z "$exports" ] || [ "$exports" = 0 ] || { echo "  export table time stamp $exports"; return 1; }
}
# No path of this checkout or of the build inside.
no_build_path() {
    ! strings -a "$1" | grep -F -e "$root" -e "$build"
}
for b in $binaries; do
    [ -f "$top/bin/$b" ] || continue
    expect "$b carries no time stamp" no_time_stamp "$top/bin/$b"
    expect "$b names no build path" no_build_path "$top/bin/$b"
done

# Every source, definition file and folder list the ce/ build folders name.
board_build_complete() {
    local sources dir f ok=0
    for sources in "$top"/ce/*/sources; do
        dir=$(dirname "$sources")
        for f in $(macro "$sources" SOURCES) $(macro "$sources" DEFFILE); do
            [ -f "$dir/$f" ] || { echo "  ${dir#$top/}: $f is not in the bundle"; ok=1; }
        done
    done
    for f in dirs boardutils.bib boardutils.reg boardutils.dat velmorra/Velmorra.lnk; do
        [ -f "$top/ce/$f" ] || { echo "  ce/$f is not in the bundle"; ok=1; }
    done
    return $ok
}
expect "the bundle holds every file the board's build folders name" board_build_complete

# Every "file" a bundled source includes, and every icon a resource script
# names, beside it; platform.h's branch for the Linux host (host/) is no
# part of the bundle.
includes_complete() {
    local f inc ok=0
    while IFS= read -r f; do
        while IFS= read -r inc; do
            case $inc in host/*) continue ;; esac
            [ -f "$(dirname "$f")/$inc" ] || { echo "  ${f#$top/}: $inc is not in the bundle"; ok=1; }
        done < <(sed -n 's/^[ \t]*#[ \t]*include[ \t]*"\([^"]*\)".*/\1/p; s/.*[ \t]ICON[ \t]*"\([^"]*\)".*/\1/p' "$f")
    done < <(find "$top" -type f \( -name '*.cpp' -o -name '*.h' -o -name '*.rc' \))
    return $ok
}
expect "every file a bundled source includes is in the bundle" includes_complete

rm -rf "$work"
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
