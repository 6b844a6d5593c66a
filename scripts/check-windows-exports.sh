#!/bin/bash
# Checks the Windows deliverables' tables with objdump: stripped 64-bit x86
# images, the exports each one owes by name, the imports between them, the
# program's subsystem, and no run-time DLL beyond the system's own.
# Prints "N passed, M failed"; non-zero exit on any failure.
#
# usage: scripts/check-windows-exports.sh BIN_DIR
set -u
dir=${1:-build-windows/bin}
OBJDUMP=${OBJDUMP:-x86_64-w64-mingw32-objdump}

passed=0
failed=0
result() {
    if [ "$1" = ok ]; then
        echo "ok   $2"
        passed=$((passed + 1))
    else
        echo "FAIL $2${3:+: $3}"
        failed=$((failed + 1))
    fi
}

# What Windows itself brings; anything else would have to ship beside us
# (ws2_32: the sockets of the served board's GPI1:, platform/win32/served.cpp).
SYSTEM_DLLS="kernel32.dll user32.dll advapi32.dll msvcrt.dll rasapi32.dll gdi32.dll ws2_32.dll"

# exported_names FILE: the names of the export table, sorted, one line.
exported_names() {
    $OBJDUMP -p "$1" | awk '/^\[Ordinal\/Name Pointer\] Table/ { t = 1; next }
        t && /^\t\[/ { print $NF } t && /^$/ { t = 0 }' | sort | tr '\n' ' ' | sed 's/ $//'
}

# imported_dlls FILE: the DLLs of the import table, lower case, one per line.
imported_dlls() {
    $OBJDUMP -p "$1" | awk '/DLL Name:/ { print tolower($3) }' | sort -u
}

# imported_from FILE DLL: the functions FILE takes from DLL, sorted, one line.
imported_from() {
    $OBJDUMP -p "$1" | awk -v dll="$2" '
        /DLL Name:/ { t = (tolower($3) == tolower(dll)); next }
        t && /^\t[0-9a-f]+\t/ { print $3 } t && /^$/ { t = 0 }' | sort | tr '\n' ' ' | sed 's/ $//'
}

# check_image FILE SUBSYSTEM EXPORTS [EXTRA_DLL]: one deliverable; an empty
# SUBSYSTEM is not checked (a library's does not matter).
check_image() {
    local file=$dir/$1 subsystem=$2 exports=$3 extra=${4:-} dll got
    got=$($OBJDUMP -f "$file" | awk '/file format/ { print $NF }')
    [ "$got" = pei-x86-64 ] && result ok "$1 is a 64-bit x86 image" || result fail "$1 format" "$got"

    got=$($OBJDUMP -f "$file" | grep -oE 'HAS_(SYMS|DEBUG|LOCALS)' | tr '\n' ' ')
    [ -z "$got" ] && result ok "$1 is stripped" || result fail "$1 is stripped" "$got"

    if [ -n "$subsystem" ]; then
        got=$($OBJDUMP -p "$file" | awk '/^Subsystem/ { print $3, $4 }')
        [ "$got" = "$subsystem" ] && result ok "$1 subsystem $subsystem" || result fail "$1 subsystem" "$got"
    fi

    got=$(exported_names "$file")
    [ "$got" = "$exports" ] && result ok "$1 exports: ${exports:-nothing}" ||
        result fail "$1 exports" "'$got', expected '$exports'"

    got=""
    for dll in $(imported_dlls "$file"); do
        case " $SYSTEM_DLLS $extra " in
        *" $dll "*) ;;
        *) got="$got $dll" ;;
        esac
    done
    [ -z "$got" ] && result ok "$1 needs only system DLLs${extra:+ and $extra}" ||
        result fail "$1 needs DLLs beyond the system's" "$got"
}

# The deliverables built so far; each must be there.
for f in kestrin.dll Pinvane.cpl Dovrel.cpl Hemlark.cpl Velmorra.exe; do
    [ -f "$dir/$f" ] && result ok "$f is built" || result fail "$f is built"
done

[ -f "$dir/kestrin.dll" ] &&
    check_image kestrin.dll "" "gpio_getPin gpio_gwesPowerOffSystem gpio_setPin"
# Every applet, the test ones too, exports exactly its entry point;
# Pinvane takes the two pin calls from kestrin.dll, by name.
for cpl in "$dir"/*.cpl; do
    [ -f "$cpl" ] || continue
    case $(basename "$cpl") in
    Pinvane.cpl)
        check_image Pinvane.cpl "" CPlApplet kestrin.dll
        got=$(imported_from "$cpl" kestrin.dll)
        [ "$got" = "gpio_getPin gpio_setPin" ] && result ok "Pinvane.cpl imports $got from kestrin.dll" ||
            result fail "Pinvane.cpl imports from kestrin.dll" "'$got'"
        ;;
    *) check_image "$(basename "$cpl")" "" CPlApplet ;;
    esac
done
[ -f "$dir/Velmorra.exe" ] && check_image Velmorra.exe "(Windows GUI)" ""

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
