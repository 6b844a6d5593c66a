# The same user input on the host's Control Panel and under Wine, one answer.
# Sourced by scripts/test-wine.sh after its own checks, in its Wine prefix and
# on its X server; uses its helpers (wine, debug_lines, wait_exit, pass, fail).
#
# Every tests/compare/<applet>/*.script runs twice, each side on a fresh
# board of its own with GPI1: present:
#   - host: build/bin/controlpanel --script FILE, its debug output in
#     BOARD_DEBUG_LOG;
#   - Wine: control.exe opens C:\board\<Applet>.cpl with its GPI1: served
#     by 'board serve', tests/dlgdrive.exe runs the same script against the
#     dialog from outside (its pin and board lines through the board tool),
#     and the debug output is Wine's OutputDebugStringA trace.
# Each side gives a transcript: the show lines, the script's exit status,
# the debug lines (the text as written, "\r" made visible) and the driver's
# side: the board's trace (BOARD_TRACE) and its pins, channels, power and
# device at the end.  The two must be identical; a difference fails the
# script and prints a unified diff.
# Velmorra's debug lines, exit codes and the PC connection it leaves are
# compared the same way.
#
# The host build is HOST_BUILD (default: build beside the sources).
# COMPARE_SCRIPTS=GLOB runs only the scripts so named (e.g. "hemlark/0*",
# "velmorra"); with COMPARE_ONLY=1 test-wine.sh runs nothing else.

host_bin=$(cd "${HOST_BUILD:-$root/build}" 2>/dev/null && pwd)/bin
compare_dir=$root/tests/compare
compare_work=$work/compare
mkdir -p "$compare_work"

# The caption each applet's dialog shows, by which dlgdrive finds it.
declare -A compare_caption=([Pinvane]=Pinvane [Dovrel]="Enable Debug" [Hemlark]=Hemlark)

# Differences in which Wine departs from the platform's documented
# behaviour, "applet/script" -> why.  Such a script is expected to differ;
# it fails if the two sides ever agree, so the entry goes when Wine is fixed.
declare -A compare_expected=()
# Differences Wine shows in some runs and not in others: "applet/script" ->
# "REGEX|why".  The two sides may agree, or differ on lines matching REGEX
# alone; any other difference fails.
declare -A compare_sometimes=(
    [pinvane/18-two-inputs]="^10(1[0-8]) radio |Wine's BM_SETCHECK on an automatic radio button clears the others of its group in most runs (not in all); the platform's sets the one button only"
)

# raw_debug: Wine-quoted debug strings (stdin) back to the text as written.
raw_debug() {
    perl -ne 'chomp; s/\\(?:x([0-9a-fA-F]{2})|(.))/defined $1 ? chr(hex $1) :
        $2 eq "n" ? "\n" : $2 eq "r" ? "\r" : $2 eq "t" ? "\t" : $2/ge; print'
}

# visible_debug: debug text (stdin) a line each, "\r" shown; the module
# handle that Hemlark traces is where the loader put it, so it is a mark.
visible_debug() {
    perl -pe 's/\r/\\r/g;
        s/^(pwmcpl::ghInst = GetModuleHandle\(TEXT\(Hemlark\.cpl\)\) = )-?\d+ \(0x[0-9a-f]+\)/$1<handle> (0x<handle>)/'
}

# settled: trace lines (stdin) with each run of PWM set requests cut to
# its last two (one a channel), the rates the driver was left with.
settled() {
    awk '/^IOCTL_PWM_SET /{ run[n++] = $0; next }
         function flush() { if (n > 1) print run[n - 2]; if (n) print run[n - 1]; n = 0 }
         { flush(); print } END { flush() }'
}

# driver_side APPLET BOARD SCRIPT: what the driver saw on BOARD.  Pinvane's
# pin reads are as many as its poll thread made in the time, so they are
# left out, and with them its opens and closes (its two threads' calls
# interleave as they happen to); the handles left open are the script's to
# show.  A script with the line "#! trace settled" (its drags are a mouse
# under Wine, each pixel a thumb-track with both channels' rates, and one
# move on the host) has its runs of set requests cut to their last.
driver_side() {
    echo "--- driver"
    {
        if [ "$1" = Pinvane ]; then
            grep -v -e '^IOCTL_GPIO_GET_PIN ' -e '^open$' -e '^close$' "$2/trace"
        else
            cat "$2/trace"
        fi
    } 2>/dev/null | if grep -qx '#! trace settled' "$3"; then settled; else cat; fi
    echo "--- board"
    BOARD_DIR=$2 "$host_bin/board" status | grep -e '^pin ' -e '^pwm ' -e '^power ' -e '^device '
}

# fresh_board BOARD APPLET SCRIPT: a fresh default board there, GPI1:
# plugged in, made ready for SCRIPT: Pinvane's inputs idle high, applied
# from outside (else the poll thread's next pass after a click, which no
# script can time, would change the indicators of the pins driven low),
# then the script's "#! board ARGS..." lines, run before the applet starts.
fresh_board() {
    local n line
    rm -rf "$1"
    BOARD_DIR=$1 "$host_bin/board" reset >/dev/null || return
    if [ "$2" = Pinvane ]; then
        for n in 1 2 3 4 5 6 7 8 9; do
            BOARD_DIR=$1 "$host_bin/board" input $n 1 >/dev/null || return
        done
    fi
    while read -r line; do
        # shellcheck disable=SC2086 # the words of the line are the arguments
        BOARD_DIR=$1 "$host_bin/board" ${line#\#! board } >/dev/null || return
    done < <(grep '^#! board ' "$3")
    return 0
}

# host_side APPLET SCRIPT OUT: the host's transcript of SCRIPT into OUT.
host_side() {
    local board=$compare_work/board-$1 applets=$compare_work/applets-$1 status
    fresh_board "$board" "$1" "$2" || { echo "board could not be made" >"$3"; return; }
    # Wine's control.exe, given one applet, loads that one alone: so does
    # this Control Panel (the board's loads them all, and every CPL_INIT
    # would show in the debug output).
    rm -rf "$applets"
    mkdir -p "$applets"
    ln -s "$host_bin/$1.cpl" "$applets/$1.cpl"
    BOARD_DIR=$board BOARD_DEBUG_LOG=$board/debug.log BOARD_TRACE=$board/trace \
        timeout -k 5 60 "$host_bin/controlpanel" --applets "$applets" --script "$2" \
        >"$3.show" 2>"$3.err"
    status=$?
    { cat "$3.show"; echo "exit $status"; echo "--- debug"; [ -f "$board/debug.log" ] && visible_debug <"$board/debug.log"
      driver_side "$1" "$board" "$2"; } >"$3"
}

# The board steps of a script under Wine (tests/dlgdrive.exe): the board
# tool run, and its output left in a file once done, which dlgdrive waits
# for (Wine waits for no host program and hands on no output of one).
cat >"$compare_work/board-step" <<'STEP'
#!/bin/sh
"$BOARD_STEP_TOOL" "$@" >"$BOARD_STEP_DONE.tmp" 2>&1
mv "$BOARD_STEP_DONE.tmp" "$BOARD_STEP_DONE"
STEP
chmod +x "$compare_work/board-step"

# wine_side APPLET SCRIPT OUT: the transcript under Wine.
wine_side() {
    local log=$3.log status board=$compare_work/wboard-$1 served server
    fresh_board "$board" "$1" "$2" || { echo "board could not be made" >"$3"; return; }
    serve_board "$board" "$3.serve"
    (cd "$drive_c/board" && BOARD_GPI1=$served WINEDEBUG=warn+seh exec timeout -k 5 60 "$WINE" control.exe "C:\\board\\$1.cpl") \
        2>"$log" &
    control=$!
    BOARD_DIR=$board DLGDRIVE_BOARD="Z:$compare_work/board-step" DLGDRIVE_DONE="Z:$3.step" \
        BOARD_STEP_TOOL=$host_bin/board BOARD_STEP_DONE=$3.step \
        wine "$tests/dlgdrive.exe" script "${compare_caption[$1]}" "Z:$2" 2>"$3.err" | tr -d '\r' >"$3.show"
    status=${PIPESTATUS[0]}
    wait_exit "$control" 15 || echo "control.exe did not end" >>"$3.err"
    unserve_board
    [ -e "$board/gpi1.served" ] && echo "the server left gpi1.served behind" >>"$3.err"
    { cat "$3.show"; echo "exit $status"; echo "--- debug"; debug_lines "$log" | raw_debug | visible_debug
      driver_side "$1" "$board" "$2"; } >"$3"
}

# compare_one NAME HOSTFILE WINEFILE: the two transcripts agree (or differ
# as an expected difference says).
compare_one() {
    local name=$1 why=${compare_expected[$1]:-} side
    # A side that could not run its script through (no dialog, a timeout)
    # fails the case even when the other failed alike.
    for side in "$2" "$3"; do
        if ! grep -qx 'exit [02]' "$side" && ! grep -qx 'run [0-9]* exit 0' "$side"; then
            fail "compare $name: the ${side##*.} side did not run through"
            sed 's/^/    /' "$side" "$side.err" 2>/dev/null
            return
        fi
    done
    if [ -n "${compare_sometimes[$name]:-}" ]; then
        local lines=${compare_sometimes[$name]%%|*} because=${compare_sometimes[$name]#*|}
        # The lines that differ, without diff's own header and markers.
        if diff "$2" "$3" | sed -n 's/^[<>] //p' | grep -qvE "$lines"; then
            fail "compare $name: host and Wine differ beyond the lines Wine may differ on ($because)"
            diff -u --label "host $name" --label "wine $name" "$2" "$3" | sed 's/^/    /'
        elif diff -q "$2" "$3" >/dev/null; then
            pass "compare $name: agrees this time (Wine may differ: $because)"
        else
            pass "compare $name: differs as Wine may ($because)"
        fi
        return
    fi
    if diff -q "$2" "$3" >/dev/null; then
        if [ -n "$why" ]; then
            fail "compare $name: agrees now, yet listed as an expected difference ($why)"
            sed 's/^/    both: /' "$2"
        else
            pass "compare $name"
        fi
    elif [ -n "$why" ]; then
        pass "compare $name: differs as expected ($why)"
    else
        fail "compare $name: host and Wine differ"
        diff -u --label "host $name" --label "wine $name" "$2" "$3" | sed 's/^/    /'
        for side in "$2" "$3"; do
            [ -s "$side.err" ] && sed 's/^/    stderr: /' "$side.err"
        done
    fi
}

# compare_applet APPLET: its scripts one after the other.
compare_applet() {
    local applet=$1 script name out host_pid
    for script in "$compare_dir/${applet,,}"/*.script; do
        [ -f "$script" ] || { fail "compare: no scripts for $applet"; break; }
        name=${applet,,}/$(basename "$script" .script)
        [[ $name == ${COMPARE_SCRIPTS:-*} ]] || continue
        out=$compare_work/${name//\//-}
        # The two sides at once: the host's is quick and Wine's mostly waits.
        host_side "$applet" "$script" "$out.host" &
        host_pid=$!
        wine_side "$applet" "$script" "$out.wine"
        wait "$host_pid"
        compare_one "$name" "$out.host" "$out.wine"
    done
}

# Velmorra, run twice with the start-up shortcut in place: the first run
# makes the phone-book entry and deletes the shortcut, the second finds no
# shortcut (error 2); then the PC connection ("Cnct") it leaves.  Wine's phone book accepts every entry, so the host
# board keeps its "Serial on USB" device, which makes the board's accept
# the entry too: both sides agree by construction there, and the refused
# entry (a board without the device) is left to the host's own tests.
compare_velmorra() {
    local board=$compare_work/board-Velmorra host=$compare_work/velmorra.host wine_out=$compare_work/velmorra.wine
    local shortcut=$drive_c/windows/Startup/Velmorra.lnk comm='HKCU\ControlPanel\Comm' run status
    rm -rf "$board"
    BOARD_DIR=$board "$host_bin/board" reset >/dev/null
    : >"$host"
    for run in 1 2; do
        rm -f "$board/debug.log"
        BOARD_DIR=$board BOARD_DEBUG_LOG=$board/debug.log timeout -k 5 60 "$host_bin/device/Velmorra" \
            >/dev/null 2>"$host.err"
        status=$?
        { echo "run $run exit $status"; [ -f "$board/debug.log" ] && visible_debug <"$board/debug.log"; } >>"$host"
    done
    # The PC connection it chose, the one effect it does not trace.
    BOARD_DIR=$board "$host_bin/board" registry |
        sed -n 's/^"Cnct"="\(.*\)"$/Cnct \1/p' >>"$host"

    mkdir -p "$(dirname "$shortcut")"
    cp "$root/ce/velmorra/Velmorra.lnk" "$shortcut"
    # As on a fresh board: no PC connection chosen yet.
    wine reg delete "$comm" /v Cnct /f >/dev/null 2>&1
    : >"$wine_out"
    for run in 1 2; do
        (cd "$drive_c/board" && WINEDEBUG=warn+seh exec timeout -k 5 60 "$WINE" 'C:\board\Velmorra.exe') \
            2>"$wine_out.log"
        status=$?
        { echo "run $run exit $status"; debug_lines "$wine_out.log" | raw_debug | visible_debug; } >>"$wine_out"
    done
    reg_value "$comm" Cnct | sed -n 's/^REG_SZ \(.*\)$/Cnct \1/p' >>"$wine_out"
    compare_one velmorra "$host" "$wine_out"
}

# kestrin's three exports against the board: on the host through pinctl,
# under Wine from tests/kestrin_probe.exe ("sequence"), the same calls in
# the same order (pin 3 set to 5 goes out as 1, as pinctl's 1 does); the
# driver's side of each compared.
compare_kestrin() {
    local board=$compare_work/board-kestrin host=$compare_work/kestrin.host wine_out=$compare_work/kestrin.wine
    local status=0 args served server
    fresh_board "$board" kestrin /dev/null
    for args in "set 3 1" "set 4 0" "get 3" "get 4" poweroff; do
        # shellcheck disable=SC2086 # the words are pinctl's arguments
        BOARD_DIR=$board BOARD_TRACE=$board/trace timeout -k 5 60 "$host_bin/pinctl" $args >/dev/null 2>>"$host.err" ||
            status=$?
    done
    { echo "exit $status"; driver_side kestrin "$board" /dev/null; } >"$host"
    board=$compare_work/wboard-kestrin
    fresh_board "$board" kestrin /dev/null
    serve_board "$board" "$wine_out.serve"
    BOARD_GPI1=$served wine "$tests/kestrin_probe.exe" 'C:\board' sequence >"$wine_out.out" 2>"$wine_out.err"
    status=$?
    unserve_board
    { echo "exit $status"; driver_side kestrin "$board" /dev/null; } >"$wine_out"
    compare_one kestrin "$host" "$wine_out"
}

# Wine quotes each debug string; read back, it must be the text as the
# program wrote it, else every comparison of debug lines would be off.
compare_quoting() {
    local got
    got=$(printf '%s\n' 'C:\\board \"q\" \x41\tb\r\n' 'two\r\n' | raw_debug | visible_debug)
    expect "compare: Wine's quoted debug strings read back as written" \
        [ "$got" = "C:\\board \"q\" A$(printf '\t')b\\r"$'\n''two\r' ]
}

# tally OUT: a part's output, its results counted here.
tally() {
    local line
    while IFS= read -r line; do
        case $line in
        "ok   "*) pass "${line#ok   }" ;;
        "FAIL "*) fail "${line#FAIL }" ;;
        *) printf '%s\n' "$line" ;;
        esac
    done <"$1"
}

compare_all() {
    local before=$passed+$failed start=$SECONDS
    for f in "$host_bin/controlpanel" "$host_bin/board" "$host_bin/device/Velmorra"; do
        [ -x "$f" ] || { fail "compare: the host build has $f (make build)"; return; }
    done
    compare_quoting
    # Dovrel writes into HKLM\Debug, which it never creates.
    expect "compare: HKLM\\Debug is made for Dovrel" debug_key
    # The applets and Velmorra side by side (each dialog is found by its
    # caption, each key and drag goes to its own thread): most of the time
    # goes in waiting for Wine to start a program.  Their results are then
    # told in order.
    local part jobs=()
    for part in Pinvane Dovrel Hemlark Velmorra kestrin; do
        if [ "$part" = Velmorra ] || [ "$part" = kestrin ]; then
            [[ ${part,,} == ${COMPARE_SCRIPTS:-*} ]] || continue
            "compare_${part,,}" >"$compare_work/$part.out" 2>&1 &
        else
            compare_applet "$part" >"$compare_work/$part.out" 2>&1 &
        fi
        jobs+=("$compare_work/$part.out:$!")
    done
    for part in "${jobs[@]}"; do
        wait "${part##*:}"
        tally "${part%:*}"
    done
    echo "compare: $((passed + failed - (before))) cases in $((SECONDS - start)) s"
}
