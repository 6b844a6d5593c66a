#!/bin/bash
# Makes docs/board-record-gtkwave.png: a short 'board record' capture of a
# scripted session (Pinvane's boxes ticked, Hemlark's bars scrolled, pins
# held from outside), opened in GTKWave on a private X server (Xvfb) and
# grabbed with ImageMagick's import.
#
#   scripts/viewer-screenshot.sh [BUILD_DIR]     # default: build
#
# BUILD_DIR holds bin/board, bin/pinctl, bin/controlpanel and the applets
# (make build, or cmake --build build --target board pinctl controlpanel
# Pinvane Hemlark Dovrel).  The capture and the GTKWave script are kept in
# BUILD_DIR/viewer-screenshot/.  Not part of make test.
set -eu

root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$root/build}" && pwd)
bin=$build/bin
work=$build/viewer-screenshot
out=$root/docs/board-record-gtkwave.png

for tool in Xvfb import gtkwave compare; do
    command -v $tool >/dev/null || { echo "viewer-screenshot: $tool is missing (scripts/install-deps.sh)" >&2; exit 1; }
done
for program in board pinctl controlpanel Pinvane.cpl Hemlark.cpl; do
    [ -e "$bin/$program" ] || { echo "viewer-screenshot: $bin/$program is not built" >&2; exit 1; }
done

rm -rf "$work"
mkdir -p "$work"
export BOARD_DIR=$work/board BOARD_DEBUG_LOG=$work/debug.log
unset BOARD_TRACE

# Waits up to a minute for a condition (a command), polling.
wait_for() {
    for _ in $(seq 600); do
        "$@" && return 0
        sleep 0.1
    done
    return 1
}

"$bin/board" reset
"$bin/board" record "$work/session.vcd" --timescale 1us 1 2 3 4 5 6 7 8 9 2>"$work/record.log" &
recorder=$!
xvfb= viewer=
cleanup() {
    for p in $recorder $viewer $xvfb; do kill "$p" 2>/dev/null || true; done
    wait 2>/dev/null || true
}
trap cleanup EXIT
wait_for grep -q 'Ctrl-C ends it' "$work/record.log" || { cat "$work/record.log" >&2; exit 1; }

# The session: each step waits a little (the script's own 'wait'), so the
# picture spreads out.
"$bin/board" input 7 0
"$bin/controlpanel" --script - >/dev/null <<'EOF'
open Pinvane
wait 40
click 1000
wait 40
click 1002
wait 40
click 1004
wait 40
click 1000
pin 8 0
wait 40
pin 8 release
close
open Hemlark
wait 60
scroll 1001 pageleft
wait 60
scroll 1005 pageleft
scroll 1005 pageleft
wait 60
scroll 1008 pageright
wait 60
scroll 1008 pageright
wait 60
click 1
EOF
"$bin/board" input 7 release
"$bin/pinctl" set 9 0
kill -INT "$recorder"
wait "$recorder"
cat "$work/record.log"

# The wires shown, in Tcl's braces (a vector's name ends in [msb:0]).
signals="board.pin1 board.pin3 board.pin5 board.pin7 board.pin8 board.pin9
board.pwm0_running board.pwm0_cr[5:0] board.pwm0_dcr[9:0] board.pwm0_pcr[9:0] board.pwm0_out
board.pwm1_running board.pwm1_dcr[9:0] board.pwm1_out board.power board.present"
# The whole capture, to its last timestamp (in its unit, 1 us).
end=$(grep '^#' "$work/session.vcd" | tail -n1 | tr -d '#')
braced() { for s in "$@"; do printf '{%s} ' "$s"; done; }
vectors=$(braced $(printf '%s\n' $signals | grep '\['))
cat >"$work/show.tcl" <<EOF
gtkwave::addSignalsFromList [list $(braced $signals)]
gtkwave::highlightSignalsFromList [list $vectors]
gtkwave::/Edit/Data_Format/Decimal
gtkwave::/Edit/UnHighlight_All
gtkwave::setZoomRangeTimes 0 $end
EOF

Xvfb -displayfd 3 -screen 0 1280x720x24 -nolisten tcp 3>"$work/display" 2>"$work/xvfb.log" &
xvfb=$!
wait_for test -s "$work/display" || { echo "viewer-screenshot: Xvfb did not start" >&2; exit 1; }
export DISPLAY=:$(head -n1 "$work/display")
# No rc file of the user's: the same picture on every machine.
printf 'splash_disable 1\nhide_sst 1\n' >"$work/gtkwaverc"
gtkwave --rcfile "$work/gtkwaverc" -S "$work/show.tcl" "$work/session.vcd" >"$work/gtkwave.log" 2>&1 &
viewer=$!

# The window is there and painted when two grabs in a row are the same and
# not one colour.
painted() {
    import -window root "$work/shot.png" 2>/dev/null || return 1
    [ "$(convert "$work/shot.png" -format '%k' info:)" -gt 8 ] || return 1
    if [ -e "$work/last.png" ] && compare -metric AE "$work/shot.png" "$work/last.png" null: 2>/dev/null; then
        return 0
    fi
    mv "$work/shot.png" "$work/last.png"
    sleep 0.5
    return 1
}
wait_for painted || { echo "viewer-screenshot: GTKWave's window did not settle (see $work/gtkwave.log)" >&2; exit 1; }
mkdir -p "$root/docs"
convert "$work/shot.png" -trim +repage "$out"
echo "viewer-screenshot: wrote $out"
