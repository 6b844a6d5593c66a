#!/bin/bash
# Runs the Windows deliverables under Wine, in a fresh prefix inside the
# build folder, on a private X server (Xvfb):
#   - kestrin.dll and the structured-handler helpers (tests/kestrin_probe.exe);
#   - each applet loaded by Wine's own control.exe, its dialog found and
#     pressed from outside by tests/dlgdrive.exe, and photographed;
#   - Velmorra.exe with its start-up shortcut in place and gone.
# The product's debug lines are Wine's "OutputDebugStringA" trace lines
# (WINEDEBUG=warn+seh).  Prints "N passed, M failed"; non-zero exit on any
# failure.  A missing Wine or Xvfb is a failure, not a skip.
#
# usage: scripts/test-wine.sh BUILD_DIR      (default build-windows)
set -u

root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-build-windows}" && pwd)
bin=$build/bin
tests=$build/tests
work=$build/wine
shots=$build/screenshots
logs=$work/logs

passed=0
failed=0
pass() { echo "ok   $1"; passed=$((passed + 1)); }
fail() { echo "FAIL $1"; failed=$((failed + 1)); }
# expect NAME COMMAND...: one test case, passed when COMMAND succeeds.
expect() {
    local name=$1
    shift
    if "$@"; then pass "$name"; else fail "$name"; fi
}
# not COMMAND...: COMMAND fails.
not() {
    ! "$@"
}
finish() {
    echo "$passed passed, $failed failed"
    [ "$failed" -eq 0 ]
    exit
}

WINE=${WINE:-$(command -v wine64 || echo /usr/lib/wine/wine64)}
WINESERVER=${WINESERVER:-$(dirname "$WINE")/wineserver}
if [ ! -x "$WINE" ] || [ ! -x "$WINESERVER" ]; then
    fail "wine64 and wineserver are installed ($WINE)"
    finish
fi
if ! command -v Xvfb >/dev/null || ! command -v import >/dev/null; then
    fail "Xvfb and imagemagick's import are installed"
    finish
fi
# wine ARGS...: one Windows program, never running longer than a minute.
wine() {
    timeout -k 5 60 "$WINE" "$@"
}

for f in "$bin/kestrin.dll" "$tests/kestrin_probe.exe" "$tests/dlgdrive.exe"; do
    [ -f "$f" ] || { fail "built: $f"; finish; }
done

# --- the private X server and the Wine prefix -------------------------

rm -rf "$work" "$shots"
mkdir -p "$work" "$shots" "$logs"
# No mono or gecko installers; no debugger that waits on a crash.
export WINEPREFIX=$work/prefix WINEARCH=win64 WINEDLLOVERRIDES="mscoree,mshtml=;winedbg.exe=d" WINEDEBUG=-all

Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$work/display" 2>"$logs/xvfb.log" &
xvfb=$!
cleanup() {
    "$WINESERVER" -k 2>/dev/null
    kill "$xvfb" 2>/dev/null
    wait "$xvfb" 2>/dev/null
}
trap cleanup EXIT
for _ in $(seq 50); do
    [ -s "$work/display" ] && break
    sleep 0.1
done
export DISPLAY=:$(head -n1 "$work/display")

wine wineboot -i >"$logs/wineboot.log" 2>&1
# A virtual desktop the size of the screen: Wine draws the captions itself,
# so the screenshots show them, and screen coordinates match the X root.
wine reg add 'HKCU\Software\Wine\Explorer' /v Desktop /d Default /f >/dev/null 2>&1
wine reg add 'HKCU\Software\Wine\Explorer\Desktops' /v Default /d 1024x768 /f >/dev/null 2>&1
"$WINESERVER" -k
"$WINESERVER" -w

drive_c=$WINEPREFIX/drive_c
# The caption buttons are glyphs of Wine's Marlett font, which the prefix
# may not find by itself.
cp /usr/share/wine/fonts/marlett.ttf "$drive_c/windows/Fonts/" 2>/dev/null
# The deliverables sit together in C:\board, as in the board's \Windows.
mkdir -p "$drive_c/board"
cp "$bin"/* "$drive_c/board/"

# --- helpers ------------------------------------------------------------

# drive ARGS...: tests/dlgdrive.exe, its output without carriage returns.
drive() {
    wine "$tests/dlgdrive.exe" "$@" 2>>"$logs/dlgdrive.log" | tr -d '\r'
    return "${PIPESTATUS[0]}"
}

# debug_lines LOG: the debug strings written by the traced process, one per
# line, as Wine quotes them (so "\r\n" ends each, backslashes doubled).
debug_lines() {
    sed -n 's/^[0-9a-f]*:warn:seh:OutputDebugStringA "\(.*\)"$/\1/p' "$1"
}

# has_line LOG LINE: LINE (Wine-quoted) is among the debug strings.
has_line() {
    debug_lines "$1" | grep -qxF -- "$2"
}

# wait_exit PID SECONDS: the process ends in time (else it is killed).
wait_exit() {
    local pid=$1 tenths=$(($2 * 10))
    while kill -0 "$pid" 2>/dev/null && [ "$tenths" -gt 0 ]; do
        sleep 0.1
        tenths=$((tenths - 1))
    done
    if kill -0 "$pid" 2>/dev/null; then
        kill "$pid"
        return 1
    fi
    wait "$pid"
    return 0
}

# applet_start NAME [FOLDER]: Wine's control.exe opens C:\FOLDER\NAME.cpl
# (FOLDER defaults to board), traced into $logs/NAME.log; sets $control.
applet_start() {
    local folder=${2:-board}
    (cd "$drive_c/$folder" && WINEDEBUG=warn+seh exec timeout -k 5 60 "$WINE" control.exe "C:\\$folder\\$1.cpl") \
        2>"$logs/$1.log" &
    control=$!
}

# screenshot CAPTION FILE: the dialog's rectangle of the screen into a PNG.
screenshot() {
    local rect
    rect=$(drive rect "$1") || return 1
    sleep 0.5  # let it finish painting
    import -window root -crop "$rect" +repage "$shots/$2.png"
}

# list_has CAPTION LINE...: the dialog's controls include each "id|class|text".
list_has() {
    local caption=$1 controls line
    shift
    controls=$(drive list "$caption") || return 1
    for line in "$@"; do
        grep -qxF -- "$line" <<<"$controls" || { echo "  missing control: $line"; return 1; }
    done
}

# reg_value KEY NAME: the value's data as reg.exe prints it ("TYPE DATA").
reg_value() {
    wine reg query "$1" /v "$2" 2>/dev/null | tr -d '\r' |
        awk -v n="$2" '$1 == n { $1 = ""; sub(/^ /, ""); print }'
}

# reg_key KEY: the key exists.
reg_key() {
    wine reg query "$1" >/dev/null 2>&1
}

# --- kestrin.dll and the structured-handler helpers ----------------------

probe_kestrin() {
    local out status line
    wine "$tests/kestrin_probe.exe" 'C:\board' >"$logs/kestrin_probe.out" 2>"$logs/kestrin_probe.log"
    status=$?
    out=$(tr -d '\r' <"$logs/kestrin_probe.out")
    while IFS= read -r line; do
        case $line in
        ok\ *) pass "kestrin_probe: ${line#ok }" ;;
        FAIL\ *) fail "kestrin_probe: ${line#FAIL }" ;;
        esac
    done <<<"$out"
    # A crash ends the probe before it reports: count that too.
    [ "$status" -eq 0 ] || grep -q '^FAIL' <<<"$out" || fail "kestrin_probe ended with status $status"
}

probe_kestrin

# --- Velmorra -----------------------------------------------------------

# velmorra_run: one run from C:\board (so "\Windows\..." means C:\windows);
# sets $status, traces into $logs/Velmorra.log.
velmorra_run() {
    (cd "$drive_c/board" && WINEDEBUG=warn+seh exec timeout -k 5 60 "$WINE" 'C:\board\Velmorra.exe') \
        2>"$logs/Velmorra.log"
    status=$?
}

test_velmorra() {
    local log=$logs/Velmorra.log shortcut=$drive_c/windows/Startup/Velmorra.lnk comm='HKCU\ControlPanel\Comm'
    mkdir -p "$(dirname "$shortcut")"
    cp "$root/ce/velmorra/Velmorra.lnk" "$shortcut"
    wine reg add "$comm" /v Cnct /d Other /f >/dev/null 2>&1
    velmorra_run
    expect "Velmorra: exit code 0" [ "$status" = 0 ]
    expect "Velmorra: the start-up shortcut is gone" [ ! -e "$shortcut" ]
    expect "Velmorra: a deleted shortcut is not reported" \
        [ "$(debug_lines "$log" | grep -c 'not deleted')" = 0 ]
    # Whatever the phone book answers, the program tells and acts on it.
    if has_line "$log" "RasEntry '\`USB' Created\\r\\n"; then
        expect "Velmorra: the entry is stored and made the PC connection" \
            [ "$(reg_value "$comm" Cnct)" = 'REG_SZ `USB' ]
    else
        expect "Velmorra: the refused entry is reported" \
            grep -q 'OutputDebugStringA "Error [0-9-]* from RasSetEntryProperties\\r\\n"$' "$log"
        expect "Velmorra: a refused entry leaves the PC connection" [ "$(reg_value "$comm" Cnct)" = "REG_SZ Other" ]
    fi

    velmorra_run
    expect "Velmorra: run again, exit code 0" [ "$status" = 0 ]
    expect "Velmorra: run again, the shortcut is not deleted, error 2" \
        has_line "$log" 'Velmorra.lnk not deleted.  Error 2\r\n'
}

test_velmorra

finish