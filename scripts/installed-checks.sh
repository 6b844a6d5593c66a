# The checks of an installed tree (sourced by check-install.sh and
# check-deb.sh, after checks.sh): installed_checks PREFIX FORBIDDEN runs the
# tools of PREFIX (PREFIX/bin, PREFIX/lib/.../boardutils) on a board of
# their own, and holds every installed file to paths relative to itself:
# no search path and no text naming FORBIDDEN (the build or source folder).

# runpaths_relative PREFIX: every ELF's RUNPATH/RPATH starts at $ORIGIN.
runpaths_relative() {
    local f path ok=0
    while IFS= read -r f; do
        head -c4 "$f" | grep -q 'ELF' || continue
        path=$(readelf -d "$f" | sed -n 's/.*(\(RUNPATH\|RPATH\)).*\[\(.*\)\]/\2/p')
        case ":$path:" in
        *:/*) echo "  ${f#$1/}: search path $path"; ok=1 ;;
        esac
    done < <(find "$1" -type f)
    return $ok
}

# loads PREFIX: the loader finds every library each ELF needs.
loads() {
    local f ok=0
    while IFS= read -r f; do
        head -c4 "$f" | grep -q 'ELF' || continue
        if ldd "$f" 2>&1 | grep -q 'not found'; then
            echo "  ${f#$1/}:"; ldd "$f" | grep 'not found'; ok=1
        fi
    done < <(find "$1" -type f)
    return $ok
}

# names_none PREFIX TEXT: no installed file holds TEXT.
names_none() {
    local hits
    hits=$(grep -rlF -- "$2" "$1")
    [ -z "$hits" ] || { echo "  $2 named in: $hits"; return 1; }
}

same_text() {
    [ "$1" = "$2" ] || { printf '  got:\n%s\n  expected:\n%s\n' "$1" "$2"; return 1; }
}

installed_checks() {
    local prefix=$1 forbidden=$2 board_dir libdir
    board_dir=$(mktemp -d)
    libdir=$(dirname "$(find "$prefix/lib" -name libcecommon.so | head -n1)")
    export BOARD_DIR=$board_dir/board BOARD_DEBUG_LOG=$board_dir/debug.log
    expect "the three tools are in bin/" test -x "$prefix/bin/board" -a -x "$prefix/bin/pinctl" -a -x "$prefix/bin/controlpanel"
    expect "the applets and kestrin are in the library folder (${libdir#$prefix/})" \
        test -f "$libdir/Pinvane.cpl" -a -f "$libdir/Dovrel.cpl" -a -f "$libdir/Hemlark.cpl" -a -f "$libdir/kestrin.so"
    expect "Velmorra is in its device/ folder" test -x "$libdir/device/Velmorra"
    expect "every search path is relative to the file (\$ORIGIN)" runpaths_relative "$prefix"
    expect "every library each file needs is found" loads "$prefix"
    expect "no installed file names $forbidden" names_none "$prefix" "$forbidden"
    expect "board reset" "$prefix/bin/board" reset
    expect "controlpanel --list lists the installed applets" same_text \
        "$("$prefix/bin/controlpanel" --list 2>&1 | cut -f1)" "$(printf 'Dovrel.cpl\nHemlark.cpl\nPinvane.cpl')"
    expect "pinctl sets and reads pins through kestrin" same_text \
        "$("$prefix/bin/pinctl" set 1=0 3=1 2>&1 && "$prefix/bin/pinctl" get 1 3 2>&1)" "0 1"
    expect "controlpanel opens Pinvane, whose box 1 drives pin 1 high through kestrin" same_text \
        "$(printf 'open Pinvane\nclick 1000\nquit\n' | "$prefix/bin/controlpanel" --script - >/dev/null 2>&1;
           "$prefix/bin/pinctl" get 1 2>&1)" "1"
    : >"$BOARD_DEBUG_LOG"
    expect "board boot runs the installed Velmorra" same_text "$("$prefix/bin/board" boot 2>&1)" \
        "$(printf '%s\n' 'boot: running \Windows\Velmorra.exe (\Windows\Startup\Velmorra.lnk)' \
                          'boot: \Windows\Velmorra.exe exited with code 0')"
    expect "Velmorra made the USB serial entry" grep -qF "RasEntry '\`USB' Created" "$BOARD_DEBUG_LOG"
    rm -rf "$board_dir"
    unset BOARD_DIR BOARD_DEBUG_LOG
}
