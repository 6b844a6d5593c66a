#!/bin/bash
# make run-wine: Wine's Control Panel (control.exe) with the three applets
# on the simulated board in BOARD_DIR (or the default board), through
# 'board wine', and the board's live view ('board watch') beside it in the
# terminal (tmux, when run in a terminal).  The Wine prefix is kept in
# WINDOWS_BUILD/try; the applets and kestrin.dll are copied into its
# system folder each time, so control.exe lists them.
#
# usage: scripts/run-wine.sh [WINDOWS_BUILD [HOST_BUILD]]   (build-windows, build-release)
set -eu

root=$(cd "$(dirname "$0")/.." && pwd)
win=$(cd "${1:-$root/build-windows}" && pwd)
board=$(cd "${2:-$root/build-release}" && pwd)/bin/board
[ -x "$board" ] || { echo "run-wine: $board is not built" >&2; exit 1; }
[ -n "${DISPLAY:-}" ] || { echo "run-wine: no X display (DISPLAY) to show Wine's windows on" >&2; exit 1; }
WINE=${WINE:-$(command -v wine64 || echo /usr/lib/wine/wine64)}
export WINE WINEPREFIX=${WINEPREFIX:-$win/try} WINEDLLOVERRIDES="mscoree,mshtml=;winedbg.exe=d"
if [ ! -d "$WINEPREFIX/drive_c/windows" ]; then
    echo "run-wine: making the Wine prefix $WINEPREFIX (once)"
    "$WINE" wineboot -i >/dev/null 2>&1
fi
cp "$win"/bin/kestrin.dll "$win"/bin/Pinvane.cpl "$win"/bin/Dovrel.cpl "$win"/bin/Hemlark.cpl \
    "$WINEPREFIX/drive_c/windows/system32/"
"$board" status >/dev/null  # the board is usable (or says why not)

run_panel="'$board' wine control.exe"
if [ -t 1 ] && command -v tmux >/dev/null && [ -z "${TMUX:-}" ]; then
    # The live view on the right; the session ends with the Control Panel.
    exec tmux new-session -s "board-wine-$$" "$run_panel; tmux kill-session -t board-wine-$$" \; \
        split-window -h "'$board' watch" \; select-pane -L
fi
eval "$run_panel"
