# The Windows deliverables on the simulated board: kestrin.dll, Pinvane
# and Hemlark under Wine with their GPI1: served by the host build's 'board
# serve', and 'board wine'.  Sourced by scripts/test-wine.sh, in its Wine
# prefix and on its X server; uses its helpers (wine, drive, expect, poll,
# applet_runs...).  scripts/compare-host-wine.sh uses serve_board too.

# The host build's board tool, for the board the desktop GPI1: is served from.
host_bin=$(cd "${HOST_BUILD:-$root/build}" 2>/dev/null && pwd)/bin

# serve_board BOARD LOG: 'board serve' on BOARD, its trace in BOARD/trace,
# its log in LOG; sets $served (its BOARD_GPI1 value) and $server.
serve_board() {
    local line=""
    coproc SERVE { BOARD_DIR=$1 BOARD_TRACE=$1/trace exec "$host_bin/board" serve 2>"$2"; }
    server=$SERVE_PID
    read -r -t 30 line <&"${SERVE[0]}"
    served=${line#BOARD_GPI1=}
}

# unserve_board: the server of serve_board ends (SIGTERM).
unserve_board() {
    kill "$server" 2>/dev/null
    wait "$server" 2>/dev/null
}

# on_board ARGS...: the board tool on $board.
on_board() {
    BOARD_DIR=$board "$host_bin/board" "$@"
}

# pin_state N: "level driven" of pin N on $board.
pin_state() {
    on_board status --all | sed -n "s/^pin $1 level=\([01]\) driven=\([01]\) .*/\1 \2/p"
}

# driven PIN... : the levels the pins are driven to, on one line.
driven() {
    local out="" n
    for n in "$@"; do out="$out $(pin_state "$n" | cut -d' ' -f2)"; done
    echo "${out# }"
}

# pwm_state C: "running cr dcr pcr" of channel C on $board.
pwm_state() {
    on_board status | sed -n "s/^pwm $1 running=\([01]\) cr=\([0-9]*\) dcr=\([0-9]*\) pcr=\([0-9]*\)$/\1 \2 \3 \4/p"
}

# open_handles: the driver handles running processes hold open on $board.
open_handles() {
    on_board status | awk '/^handles pid=/ && !/process ended/ { sub("open=", "", $3); n += $3 } END { print n + 0 }'
}

# board_start: a fresh board in $board with 'board serve' on it, and
# BOARD_GPI1 in the environment of every Windows program from here on.
board=$work/board
board_start() {
    rm -rf "$board"
    on_board reset >/dev/null || return
    serve_board "$board" "$logs/serve.log"
    [ -n "$served" ] || return
    export BOARD_GPI1=$served
}

board_stop() {
    unset BOARD_GPI1
    unserve_board
}

# closed_all: a close traced for every open (a handle a program did not
# close, whose connection then dropped, has none).
closed_all() {
    [ "$(grep -cx open "$board/trace")" = "$(grep -cx close "$board/trace")" ]
}

# traced LINE: LINE is among the board's trace lines.
traced() {
    grep -qxF -- "$1" "$board/trace"
}

test_kestrin_on_board() {
    run_probe kestrin_probe 'C:\board' board
    expect "kestrin on the board: set 3 high and 4 low, they are" [ "$(driven 3 4)" = "1 0" ]
    expect "kestrin on the board: what the threads set is on the board" [ "$(driven 20 21 22 23)" = "0 1 0 1" ]
    expect "kestrin on the board: level 5 goes out as 1" traced "IOCTL_GPIO_SET_PIN 8 3 1 -> 1"
    expect "kestrin on the board: the power off powers the board off" \
        sh -c "BOARD_DIR='$board' '$host_bin/board' status | grep -qx 'power off'"
    expect "kestrin on the board: every call closed its handle" closed_all
}

# indicators CAPTION: Pinvane's nine indicators, checked or not.
indicators() {
    each checked Pinvane 1010 1011 1012 1013 1014 1015 1016 1017 1018
}

# indicators_are STATES: the indicators show STATES ("0 1 0 ...").
indicators_are() {
    [ "$(indicators)" = "$1" ]
}

# closed_after_fault: the trace line after the faulting request is its close.
closed_after_fault() {
    grep -A1 -x 'IOCTL_GPIO_GET_PIN 8 [1-9] 0 -> 0 fault' "$board/trace" | tail -n1 | grep -qx close
}

test_pinvane_on_board() {
    local n
    # Inputs idle high (nothing pulls them low), so a driven low shows no input.
    for n in 1 2 3 4 5 6 7 8 9; do on_board input $n 1 >/dev/null; done
    applet_runs Pinvane Pinvane
    drive click Pinvane 1002
    drive click Pinvane 1006
    expect "Pinvane on the board: the ticked ports drive their pins high" \
        [ "$(driven 1 2 3 4 5 6 7 8 9)" = "0 0 1 0 0 0 1 0 0" ]
    drive click Pinvane 1000
    expect "Pinvane on the board: pin 1 too" [ "$(driven 1 2 3)" = "1 0 1" ]
    on_board input 5 0 >/dev/null
    expect "Pinvane on the board: an input pulled low from outside shows checked" \
        poll 30 indicators_are "0 0 0 0 1 0 0 0 0"
    expect "Pinvane on the board: screenshot" screenshot Pinvane Pinvane-board
    on_board input 5 1 >/dev/null
    expect "Pinvane on the board: let go, it clears" poll 30 indicators_are "0 0 0 0 0 0 0 0 0"
    drive close Pinvane
    applet_ends Pinvane
    expect "Pinvane on the board: closed, every handle was closed" closed_all

    # A fault armed while it runs: the poll thread's next read raises it,
    # kestrin closes its handle on the way out, and nothing in the poll
    # thread handles it, so control.exe ends (as the host's Control Panel).
    applet_runs Pinvane Pinvane
    drive wait Pinvane 200 >/dev/null
    on_board fault >/dev/null
    applet_ends Pinvane
    expect "Pinvane on the board: the faulting read closed its handle" closed_after_fault
}

test_hemlark_on_board() {
    applet_runs Hemlark Hemlark
    expect "Hemlark on the board: the dialog opens the driver" \
        not has_line "$logs/Hemlark.log" "Error: can't open GPI1:\\r\\n"
    expect "Hemlark on the board: both channels run, no rates sent yet" \
        [ "$(pwm_state 0),$(pwm_state 1)" = "1 0 0 0,1 0 0 0" ]
    drive scroll Hemlark 1001 1   # SB_LINERIGHT
    drive scroll Hemlark 1005 3   # SB_PAGERIGHT
    drive scroll Hemlark 1009 7   # SB_RIGHT
    expect "Hemlark on the board: the bars' rates are the channels'" \
        [ "$(pwm_state 0),$(pwm_state 1)" = "1 17 266 512,1 16 256 1014" ]
    expect "Hemlark on the board: screenshot" screenshot Hemlark Hemlark-board
    expect "Hemlark on the board: one handle while it runs" [ "$(open_handles)" = 1 ]
    drive click Hemlark 1
    applet_ends Hemlark
    expect "Hemlark on the board: Done stops both channels" \
        [ "$(pwm_state 0 | cut -c1),$(pwm_state 1 | cut -c1)" = "0,0" ]
    expect "Hemlark on the board: and closes its one handle" \
        [ "$(grep -cx open "$board/trace") $(grep -cx close "$board/trace")" = "1 1" ]
}

# board_wine OUT ARGS...: 'board wine' on $board runs ARGS under Wine.
board_wine() {
    local out=$1
    shift
    (cd "$drive_c/board" && BOARD_DIR=$board BOARD_TRACE=$board/trace WINE=$WINE \
        exec timeout -k 5 "$LIMIT" "$host_bin/board" wine "$@") >"$out" 2>"$out.err"
}

# probe_passed OUT [STATUS]: a kestrin_probe output with checks and no
# failure (and its exit status 0).
probe_passed() {
    grep -q '^ok ' "$1" && ! grep -q '^FAIL' "$1" && [ "${2:-0}" = 0 ]
}

test_board_wine() {
    rm -rf "$board"
    on_board reset >/dev/null
    local status
    board_wine "$logs/board-wine.out" "$tests/kestrin_probe.exe" 'C:\board' board
    status=$?
    expect "board wine: the program runs on the board, its exit status is the program's" \
        probe_passed "$logs/board-wine.out" "$status"
    expect "board wine: the server it started served the requests" traced poweroff
    expect "board wine: and is gone at the end, with its secret" [ ! -e "$board/gpi1.served" ]
    # With a server running, that one is used and left running.
    board_start && unset BOARD_GPI1
    rm -f "$board/trace"
    board_wine "$logs/board-wine-shared.out" -- "$tests/kestrin_probe.exe" 'C:\board' board
    expect "board wine: a server already running serves it" probe_passed "$logs/board-wine-shared.out"
    expect "board wine: the running server's trace has its calls" traced poweroff
    expect "board wine: the running server goes on" kill -0 "$server"
    board_stop
}

test_on_board() {
    if [ -x "$host_bin/board" ] && board_start; then
        test_kestrin_on_board
        board_stop
        board_start && test_pinvane_on_board
        board_stop
        board_start && test_hemlark_on_board
        board_stop
        test_board_wine
        expect "board serve: its end leaves no secret behind" [ ! -e "$board/gpi1.served" ]
    else
        fail "board serve runs from the host build ($host_bin/board, see $logs/serve.log)"
    fi
}
