#!/bin/bash
# Packs a Release build as the Debian package (scripts/make-deb.sh: no
# lintian error), installs it with dpkg into a throwaway root with a dpkg
# database of its own, runs the installed tools there, then removes it and
# finds nothing of it left.  Prints "N passed, M failed"; exit 1 on any
# failure.
#
# usage: scripts/check-deb.sh BUILD
set -u
if [ $# -ne 1 ] || [ "$1" = --help ]; then
    echo "usage: scripts/check-deb.sh BUILD" >&2
    [ "${1:-}" = --help ]
    exit
fi
build=$(cd "$1" && pwd) || exit 1

. "$(dirname "$0")/checks.sh"
. "$(dirname "$0")/installed-checks.sh"

made=$("$(dirname "$0")/make-deb.sh" "$build")
status=$?
echo "$made"
expect "the package is made and lintian finds no error in it" [ "$status" -eq 0 ]
[ "$status" -eq 0 ] || { echo "$passed passed, $failed failed"; exit 1; }
deb=$(echo "$made" | tail -n1)

# dpkg-shlibdeps named the libraries of the system, none of the package's own.
depends=$(dpkg-deb -f "$deb" Depends)
echo "Depends: $depends"
names_libraries() {
    local lib
    for lib in 'libc6 (>=' 'libstdc++6 (>=' 'libncursesw6 (>='; do
        case "$depends" in *"$lib"*) ;; *) echo "  no $lib"; return 1 ;; esac
    done
}
expect "its dependencies are found by dpkg-shlibdeps (libc6, libstdc++6, ncurses)" names_libraries

# Each "name (>= version)" is installed here, at that version or later.
satisfied_here() {
    local dep name op version have ok=0
    while IFS= read -r dep; do
        read -r name op version <<<"$(echo "$dep" | tr -d '()')"
        have=$(dpkg-query -W -f='${Version}' "$name" 2>/dev/null) || { echo "  $name is not installed"; ok=1; continue; }
        [ -z "$op" ] || dpkg --compare-versions "$have" "${op/>=/ge}" "$version" ||
            { echo "  $name $have, not $op $version"; ok=1; }
    done < <(echo "$depends" | tr ',' '\n' | sed 's/^ *//')
    return $ok
}
expect "this machine has what it depends on" satisfied_here

unstripped() {
    local f bad=0
    for f in "$1"/usr/bin/* $(find "$1/usr/lib" -type f); do
        readelf -S "$f" 2>/dev/null | grep -qE '\.(symtab|debug_info)' && { echo "  not stripped: ${f#$1/}"; bad=1; }
    done
    return $bad
}

root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
admin=$root/var/lib/dpkg
mkdir -p "$admin/info" "$admin/updates" "$admin/triggers" && touch "$admin/status" "$admin/available"
# The throwaway root has no packages: what the package depends on is this
# machine's.  dpkg wants ldconfig on its path; as another user it runs
# under fakeroot.
as_root=""
[ "$(id -u)" -eq 0 ] || as_root=fakeroot
dpkg_here() {
    PATH=$PATH:/usr/sbin:/sbin $as_root dpkg --root="$root" --admindir="$admin" --log=/dev/null \
        --force-depends --force-not-root "$@"
}
expect "dpkg installs it into a throwaway root" dpkg_here --install "$deb"
expect "every file of the package is stripped" unstripped "$root"
installed_checks "$root/usr" "$build"
expect "dpkg removes it" dpkg_here --purge boardutils
left=$(cd "$root" && find . -path ./var -prune -o -print | grep -v '^\.$')
expect "nothing of it is left" [ -z "$left" ]
[ -z "$left" ] || echo "$left"

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
