#!/bin/bash
# Runs the Windows deliverables under Wine, in a fresh prefix inside the
# build folder, on a private X server (Xvfb):
#   - kestrin.dll and the structured-handler helpers (tests/kestrin_probe.exe);
#   - each applet loaded by Wine's own control.exe, its dialog found and
#     pressed from outside by tests/dlgdrive.exe, and photographed;
#   - Velmorra.exe with its start-up shortcut in place and gone;
#   - kestrin.dll, Pinvane and Hemlark on the simulated board, their GPI1:
#     served by the host build's 'board serve';
#   - the applets' scripts of tests/compare and Velmorra, on the host and
#     under Wine, with identical results (scripts/compare-host-wine.sh).
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
# Nothing here waits a fixed time for a state: each wait polls for what it
# needs, with a deadline generous enough for a machine under heavy load.
# A Windows program never runs longer than this (seconds).
LIMIT=180

# wine ARGS...: one Windows program, never running longer than LIMIT.
wine() {
    timeout -k 5 "$LIMIT" "$WINE" "$@"
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
for _ in $(seq 600); do
    [ -s "$work/display" ] && break
    sleep 0.1
done
if [ ! -s "$work/display" ]; then
    fail "Xvfb starts (see $logs/xvfb.log)"
    finish
fi
export DISPLAY=:$(head -n1 "$work/display")

. "$root/scripts/wine-prefix.sh"
if ! fresh_prefix "$build" "$logs/wineboot.log"; then
    fail "a fresh Wine prefix is made (see $logs/wineboot.log)"
    finish
fi

drive_c=$WINEPREFIX/drive_c
# The caption buttons are glyphs of Wine's Marlett font (Debian's
# fonts-wine), which the prefix may not find by itself; without it the
# screenshots show letters in their place.
expect "Wine's Marlett font is there for the caption buttons" \
    cp /usr/share/wine/fonts/marlett.ttf "$drive_c/windows/Fonts/"
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

# ended PID: the process is no longer running.
ended() {
    ! kill -0 "$1" 2>/dev/null
}

# wait_exit PID SECONDS: the process ends in time (else it is killed).
wait_exit() {
    if ! poll "$2" ended "$1"; then
        kill "$1"
        return 1
    fi
    wait "$1"
    return 0
}

# applet_start NAME [FOLDER]: Wine's control.exe opens C:\FOLDER\NAME.cpl
# (FOLDER defaults to board), traced into $logs/NAME.log (with the Wine
# debug channels in $extra_trace too); sets $control.
extra_trace=""
applet_start() {
    local folder=${2:-board}
    (cd "$drive_c/$folder" && WINEDEBUG=warn+seh${extra_trace:+,$extra_trace} \
        exec timeout -k 5 "$LIMIT" "$WINE" control.exe "C:\\$folder\\$1.cpl") 2>"$logs/$1.log" &
    control=$!
}

# poll SECONDS COMMAND...: runs COMMAND every tenth of a second until it
# succeeds (0) or SECONDS have passed (1).
poll() {
    local tenths=$(($1 * 10))
    shift
    until "$@"; do
        [ "$tenths" -gt 0 ] || return 1
        sleep 0.1
        tenths=$((tenths - 1))
    done
}

# screenshot CAPTION FILE: the dialog's rectangle of the screen into a PNG,
# once the dialog has painted itself and two captures in a row agree (the
# X server may show the painting a moment later).
screenshot() {
    local rect shot=$shots/$2.ppm previous="" current="" tries
    drive painted "$1" || return 1
    rect=$(drive rect "$1") || return 1
    for tries in $(seq 300); do
        if import -window root -crop "$rect" +repage "ppm:$shot" 2>>"$logs/import.log"; then
            current=$(md5sum <"$shot")
            [ "$current" = "$previous" ] && break
            previous=$current
        fi
        sleep 0.2
    done
    [ -n "$current" ] && [ "$current" = "$previous" ] && convert "ppm:$shot" "$shots/$2.png" && rm -f "$shot"
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

# run_probe NAME ARGS...: tests/NAME.exe, each "ok"/"FAIL" line it prints
# one test case; its "note" lines (what it saw without judging) are shown.
run_probe() {
    local name=$1 out status line
    shift
    wine "$tests/$name.exe" "$@" >"$logs/$name.out" 2>"$logs/$name.log"
    status=$?
    out=$(tr -d '\r' <"$logs/$name.out")
    while IFS= read -r line; do
        case $line in
        ok\ *) pass "$name: ${line#ok }" ;;
        FAIL\ *) fail "$name: ${line#FAIL }" ;;
        note\ *) echo "     $name: ${line#note }" ;;
        esac
    done <<<"$out"
    # A crash ends the probe before it reports: count that too.
    [ "$status" -eq 0 ] || grep -q '^FAIL' <<<"$out" || fail "$name ended with status $status"
}

run_probe kestrin_probe 'C:\board'

# --- the applets under Wine's control.exe --------------------------------

# applet_runs NAME CAPTION: control.exe opens the applet's dialog.
applet_runs() {
    applet_start "$1"
    expect "$1: control.exe shows the dialog \"$2\"" drive wait "$2"
}

# applet_ends NAME: control.exe returns once the dialog has ended.
applet_ends() {
    expect "$1: the dialog ends and control.exe with it" wait_exit "$control" 120
}

# each VERB CAPTION ID...: one dlgdrive question (pos, checked) to several
# controls; the first word of each answer, on one line.
each() {
    local verb=$1 caption=$2 id out=""
    shift 2
    for id in "$@"; do
        out="$out $(drive "$verb" "$caption" "$id" | cut -d' ' -f1)"
    done
    echo "${out# }"
}

# count_lines LOG LINE: how often LINE is among the debug strings.
count_lines() {
    debug_lines "$1" | grep -cxF -- "$2"
}

# stopped_once LOG: "+ close" then "- close", once each.
stopped_once() {
    [ "$(debug_lines "$1" | grep -x -- '[-+] close\\r\\n' | tr '\n' ' ')" = '+ close\r\n - close\r\n ' ]
}

# gpio_opens LOG: how often the traced applet tried to open GPI1: (one
# attempt for each pin read or written).
gpio_opens() {
    grep -c 'trace:file:CreateFileW L"GPI1:"' "$1"
}

# opens_reach LOG N: at least N attempts so far.
opens_reach() {
    [ "$(gpio_opens "$1")" -ge "$2" ]
}

test_pinvane() {
    local log=$logs/Pinvane.log n expected=()
    for n in 1 2 3 4 5 6 7 8 9; do
        expected+=("$((999 + n))|Button|Port $n|autocheck" "$((1009 + n))|Button||autoradio")
    done
    # Wine's file trace shows each attempt to open GPI1:.
    extra_trace=trace+file
    applet_runs Pinvane Pinvane
    extra_trace=""
    expect "Pinvane: nine output boxes, nine input indicators" list_has Pinvane "${expected[@]}"
    expect "Pinvane: screenshot" screenshot Pinvane Pinvane
    drive click Pinvane 1002
    expect "Pinvane: ticking Port 3 checks it" [ "$(each checked Pinvane 1000 1001 1002 1003)" = "0 0 1 0" ]
    # Without a GPI1: device every read fails, so no indicator ever moves:
    # looked at once the poll thread has tried a whole pass of nine reads
    # since the click (the click's own writes were done when it returned).
    n=$(gpio_opens "$log")
    expect "Pinvane: the poll thread keeps trying to read the pins" poll 60 opens_reach "$log" $((n + 18))
    expect "Pinvane: without a driver the indicators stay clear" \
        [ "$(each checked Pinvane 1010 1011 1012 1013 1014 1015 1016 1017 1018)" = "0 0 0 0 0 0 0 0 0" ]
    drive close Pinvane
    applet_ends Pinvane
    expect "Pinvane: closed, the poll thread is stopped once" stopped_once "$log"

    # The caption's OK (IDOK): no WM_CLOSE, the thread stops on WM_DESTROY.
    applet_runs Pinvane Pinvane
    drive command Pinvane 1009
    expect "Pinvane: id 1009 does nothing" drive wait Pinvane 300
    drive command Pinvane 1
    applet_ends Pinvane
    expect "Pinvane: ended by OK, the poll thread is stopped once" stopped_once "$log"
}

# Pinvane imports from kestrin.dll: without it the applet does not load.
test_pinvane_without_kestrin() {
    local log=$logs/Pinvane-alone.log
    mkdir -p "$drive_c/alone"
    cp "$bin/Pinvane.cpl" "$drive_c/alone/"
    (cd "$drive_c/alone" && WINEDEBUG=warn+seh exec timeout -k 5 "$LIMIT" "$WINE" control.exe 'C:\alone\Pinvane.cpl') \
        2>"$log" &
    control=$!
    expect "Pinvane without kestrin.dll: control.exe gives up" wait_exit "$control" 120
    expect "Pinvane without kestrin.dll: no dialog" not drive wait Pinvane 500
    expect "Pinvane without kestrin.dll: the loader misses kestrin.dll" \
        grep -q 'import_dll Library kestrin.dll.*Pinvane.cpl.* not found' "$log"
    expect "Pinvane without kestrin.dll: the applet never ran" [ -z "$(debug_lines "$log")" ]
}

test_dovrel() {
    local log=$logs/Dovrel.log caption="Enable Debug" key='HKLM\Debug'
    wine reg add "$key" /v dbgSerial /t REG_DWORD /d 7 /f >/dev/null 2>&1
    applet_runs Dovrel "$caption"
    expect "Dovrel: the two buttons" list_has "$caption" \
        "1|Button|Enable serial debug port|default" "2|Button|Disable serial debug port|push"
    expect "Dovrel: screenshot" screenshot "$caption" Dovrel
    drive click "$caption" 2
    applet_ends Dovrel
    expect "Dovrel: Disable leaves dbgSerial = 0" [ "$(reg_value "$key" dbgSerial)" = "REG_DWORD 0x0" ]
    expect "Dovrel: Disable reports the write" \
        has_line "$log" 'Registry write <regError=0> ... dbgSerial=0 \r\n'

    # The caption's close box counts as Enable, once.
    applet_runs Dovrel "$caption"
    drive close "$caption"
    applet_ends Dovrel
    expect "Dovrel: the close box leaves dbgSerial = 1" [ "$(reg_value "$key" dbgSerial)" = "REG_DWORD 0x1" ]
    expect "Dovrel: the close box writes once" [ "$(debug_lines "$log" | grep -c '^Registry write')" = 1 ]

    # The switch never creates its key.
    wine reg delete "$key" /f >/dev/null 2>&1
    applet_runs Dovrel "$caption"
    drive click "$caption" 1
    applet_ends Dovrel
    expect "Dovrel: without HKLM\\Debug the failure line" \
        has_line "$log" 'Failed opening HKEY_LOCAL_MACHINE\\Debug\r\n'
    expect "Dovrel: without HKLM\\Debug no key is made" not reg_key "$key"
}

# instance_traced LOG: the frame's CPL_INIT line, the handle in decimal and
# in hexadecimal (%d of a 64-bit handle shows its low 32 bits).
instance_traced() {
    local trace
    trace=$(debug_lines "$1" | sed -n 's/^pwmcpl::ghInst = GetModuleHandle(TEXT(Hemlark.cpl)) = \(-\{0,1\}[0-9]*\) (0x\([0-9a-f]*\))\\r\\n$/\1 \2/p')
    [ -n "$trace" ] && [ $((${trace% *} & 0xffffffff)) = $((0x${trace#* })) ] && [ "${trace#* }" != 0 ]
}

test_hemlark() {
    local log=$logs/Hemlark.log trace
    applet_runs Hemlark Hemlark
    expect "Hemlark: Done, six bars and their labels" list_has Hemlark "1|Button|Done|default" \
        "1001|ScrollBar||horizontal" "1005|ScrollBar||horizontal" "1006|ScrollBar||horizontal" \
        "1007|ScrollBar||horizontal" "1008|ScrollBar||horizontal" "1009|ScrollBar||horizontal" \
        "65535|Static|pwm 0|" "65535|Static|pwm 1|" "65535|Static|cr|" "65535|Static|dcr|" \
        "65535|Static|pcr|"
    expect "Hemlark: screenshot" screenshot Hemlark Hemlark
    expect "Hemlark: bars start at 16, 256, 512" \
        [ "$(each pos Hemlark 1001 1005 1006 1007 1008 1009)" = "16 256 512 16 256 512" ]
    expect "Hemlark: without a driver the open fails on the debug output" \
        has_line "$log" "Error: can't open GPI1:\\r\\n"
    expect "Hemlark: the instance trace shows one handle twice" instance_traced "$log"

    drive scroll Hemlark 1001 7   # SB_RIGHT
    drive scroll Hemlark 1005 7
    drive scroll Hemlark 1006 0   # SB_LINELEFT
    drive scroll Hemlark 1007 6   # SB_LEFT
    drive scroll Hemlark 1007 0
    drive scroll Hemlark 1008 3   # SB_PAGERIGHT
    drive scroll Hemlark 1009 8   # SB_ENDSCROLL
    expect "Hemlark: the bars move and clamp (54, 1014, 0)" \
        [ "$(each pos Hemlark 1001 1005 1006 1007 1008 1009)" = "54 1014 511 0 266 512" ]
    drive command Hemlark 2
    expect "Hemlark: Escape (IDCANCEL) leaves the dialog open" drive wait Hemlark 500
    drive click Hemlark 1
    applet_ends Hemlark
    expect "Hemlark: no fault on the way" [ "$(count_lines "$log" 'pwm app --- ex\r\n')" = 0 ]

    # The close box presses Done (Escape alone would not end it).
    applet_runs Hemlark Hemlark
    drive close Hemlark
    applet_ends Hemlark
}

# --- Velmorra -----------------------------------------------------------

. "$root/scripts/test-wine-velmorra.sh"

# debug_key: HKLM\Debug is there, which Dovrel writes into and never
# creates.  A reg run that meets the previous programs' wineserver as it
# ends may do nothing, so the key is looked for after each try.
debug_key() {
    local try
    for try in 1 2 3 4 5; do
        wine reg add 'HKLM\Debug' /f >/dev/null 2>&1
        wine reg query 'HKLM\Debug' >/dev/null 2>&1 && return 0
        sleep 0.5
    done
    return 1
}
expect "HKLM\\Debug is made for Dovrel" debug_key
# COMPARE_ONLY=1 skips to the comparison with the host below.
if [ "${COMPARE_ONLY:-0}" != 1 ]; then
    test_pinvane
    test_pinvane_without_kestrin
    test_dovrel
    test_hemlark
    test_velmorra
fi

# --- on the board: GPI1: served by 'board serve' -------------------------

. "$root/scripts/test-wine-board.sh"
if [ "${COMPARE_ONLY:-0}" != 1 ]; then
    test_on_board
fi

# --- the same input on the host and under Wine -------------------------

. "$root/scripts/compare-host-wine.sh"
compare_all

# --- what the host stand-in copies from the platform ---------------------

# The probe measures the rules the stand-in follows (read-only files, a
# dialog's stored message result, LoadStringW, REG_SZ bytes, CloseHandle).
if [ -f "$tests/platform_probe.exe" ]; then
    run_probe platform_probe 'C:\board'
else
    fail "built: $tests/platform_probe.exe"
fi

if [ "${COMPARE_ONLY:-0}" != 1 ]; then
    test_velmorra_read_only
fi

finish