#!/bin/bash
# Checks the board-image files in ce/ against the sources they describe:
# every build folder names files that exist and every source of its
# folders; each target is in the image (.bib); the file-system entries
# (.dat) and the start-up shortcut point at files of the image; the
# registry defaults bring the key the applets expect.
# Prints "N passed, M failed"; non-zero exit on any failure.
#
# usage: scripts/check-ce-files.sh [REPO_ROOT]
set -u
root=$(cd "${1:-$(dirname "$0")/..}" && pwd)
ce=$root/ce

. "$(dirname "$0")/checks.sh"

# target_file SOURCES: the file name the build folder produces.
target_file() {
    local name type ext
    name=$(macro "$1" TARGETNAME)
    type=$(macro "$1" TARGETTYPE)
    ext=$(macro "$1" TARGETEXT)
    case $type in
    PROGRAM) echo "$name.exe" ;;
    DYNLINK) echo "$name.${ext:-dll}" ;;
    *) echo "$name.$type" ;;
    esac
}

# bib_names SECTION: the file names of one section of the image file.
bib_names() {
    tr -d '\r' <"$ce/boardutils.bib" | awk -v want="$1" '
        /^[A-Z]+[ \t]*$/ { section = $1; next }
        /^[ \t]*;/ || NF == 0 { next }
        section == want { print $1 }'
}

# A build folder: its files exist, its folders' sources are all built.
sources_complete() {
    local dir=$1 file folder src ok=0
    [ -f "$dir/makefile" ] || { echo "  ${dir#$root/}: no makefile"; ok=1; }
    for file in $(macro "$dir/sources" SOURCES) $(macro "$dir/sources" DEFFILE); do
        [ -f "$dir/$file" ] || { echo "  ${dir#$root/}: $file missing"; ok=1; }
    done
    for folder in $(macro "$dir/sources" SOURCES | xargs -n1 dirname | sort -u); do
        for src in "$dir/$folder"/*.cpp "$dir/$folder"/*.rc; do
            [ -f "$src" ] || continue
            macro "$dir/sources" SOURCES | grep -qxF "$folder/$(basename "$src")" ||
                { echo "  ${dir#$root/}: $folder/$(basename "$src") not built"; ok=1; }
        done
    done
    return $ok
}

in_image() {
    bib_names MODULES | grep -qxF "$1"
}

same_words() {
    [ "$(echo "$1" | tr ' ' '\n' | sed '/^$/d' | sort)" = "$(echo "$2" | tr ' ' '\n' | sed '/^$/d' | sort)" ]
}

built=""
for sources in "$ce"/*/sources; do
    dir=$(dirname "$sources")
    target=$(target_file "$sources")
    built="$built $(basename "$dir")"
    expect "ce/$(basename "$dir") builds $target from files that exist, all of them" sources_complete "$dir"
    expect "$target is in the image" in_image "$target"
done

expect "ce/dirs lists every build folder, kestrin first" \
    same_words "$(macro "$ce/dirs" DIRS | tr '\n' ' ')" "$built"
expect "ce/dirs builds kestrin before its users" [ "$(macro "$ce/dirs" DIRS | head -n1)" = kestrin ]

expect "the image holds the five deliverables" same_words "$(bib_names MODULES | tr '\n' ' ')" \
    "kestrin.dll Pinvane.cpl Dovrel.cpl Hemlark.cpl Velmorra.exe"

# Directory("\Windows\Startup"):-File("Velmorra.lnk", "\Windows\Velmorra.lnk")
dat_copies_image_files() {
    local from ok=0
    for from in $(tr -d '\r' <"$ce/boardutils.dat" | sed -n 's/^Directory.*File("[^"]*", *"\\Windows\\\([^"]*\)").*/\1/p'); do
        bib_names FILES | grep -qxF "$from" || { echo "  $from is not in the image"; ok=1; }
    done
    return $ok
}
expect "boardutils.dat copies only files of the image" dat_copies_image_files
expect "boardutils.dat puts Velmorra.lnk into \\Windows\\Startup" \
    grep -qF 'Directory("\Windows\Startup"):-File("Velmorra.lnk", "\Windows\Velmorra.lnk")' "$ce/boardutils.dat"

# A shortcut is "<length>#<command line>".
shortcut_sound() {
    local text count target
    text=$(cat "$ce/velmorra/Velmorra.lnk")
    count=${text%%#*}
    target=${text#*#}
    [ "$count" = "${#target}" ] || { echo "  length $count, command line '$target'"; return 1; }
    [ "${target%\\*}" = '\Windows' ] && in_image "${target##*\\}"
}
expect "Velmorra.lnk starts \\Windows\\Velmorra.exe of the image" shortcut_sound
expect "Velmorra.lnk is copied to the release folder" \
    grep -qF 'copy /y Velmorra.lnk $(_FLATRELEASEDIR)\Velmorra.lnk' "$ce/velmorra/makefile.inc"

expect "boardutils.reg brings HKLM\\Debug with dbgSerial" \
    awk '/^\[HKEY_LOCAL_MACHINE\\Debug\]/ { k = 1; next } /^\[/ { k = 0 }
         k && /^[ \t]*"dbgSerial"=dword:[01][ \t\r]*$/ { found = 1 } END { exit !found }' "$ce/boardutils.reg"

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
