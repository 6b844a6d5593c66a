#!/bin/bash
# The served driver's figures under Wine, beside the host's in the same run:
#   - a request's round trip: a kestrin call (open, pin read, close) and a
#     read on an open handle, in-process on the host and from a program
#     under Wine through 'board serve';
#   - Pinvane under Wine on the served board: indicator latency and close
#     time, and the host's bench_pinvane beside it.
# Prints the machine's load (uptime) before and after.  Figures, not tests:
# nothing here passes or fails on a time.
#
# usage: scripts/bench-wine.sh [WINDOWS_BUILD [HOST_BUILD]]
#        (defaults build-windows and build-bench, whose bin/ has
#        bench_request_rtt, bench_pinvane and board: make bench builds them)
set -u

root=$(cd "$(dirname "$0")/.." && pwd)
win=$(cd "${1:-$root/build-windows}" && pwd) || exit 1
host=$(cd "${2:-$root/build-bench}" && pwd)/bin || exit 1
for f in "$win/bench/bench_request_rtt.exe" "$win/bench/bench_pinvane_wine.exe" "$host/board" \
    "$host/bench_request_rtt" "$host/bench_pinvane"; do
    [ -e "$f" ] || { echo "bench-wine: $f is not built" >&2; exit 1; }
done
WINE=${WINE:-$(command -v wine64 || echo /usr/lib/wine/wine64)}
WINESERVER=$(dirname "$WINE")/wineserver

work=$win/wine-bench
rm -rf "$work"
mkdir -p "$work"
export WINEPREFIX=$work/prefix WINEARCH=win64 WINEDLLOVERRIDES="mscoree,mshtml=;winedbg.exe=d" WINEDEBUG=-all
Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$work/display" 2>"$work/xvfb.log" &
xvfb=$!
server=""
cleanup() {
    [ -n "$server" ] && kill "$server" 2>/dev/null
    "$WINESERVER" -k 2>/dev/null
    kill "$xvfb" 2>/dev/null
}
trap cleanup EXIT
for _ in $(seq 300); do [ -s "$work/display" ] && break; sleep 0.1; done
export DISPLAY=:$(head -n1 "$work/display")
. "$root/scripts/wine-prefix.sh"
fresh_prefix "$win" "$work/wineboot.log" || { echo "bench-wine: no Wine prefix (see $work/wineboot.log)" >&2; exit 1; }
mkdir -p "$WINEPREFIX/drive_c/board"
cp "$win"/bin/* "$WINEPREFIX/drive_c/board/"

board=$work/board
export BOARD_DIR=$board
unset BOARD_TRACE
"$host/board" reset
coproc SERVE { exec "$host/board" serve 2>"$work/serve.log"; }
server=$SERVE_PID
read -r -t 30 line <&"${SERVE[0]}"
export "${line?}"

echo "== load before: $(uptime)"
echo "== a request on the host, in-process (bench_request_rtt)"
"$host/bench_request_rtt" 2000
echo "== a request under Wine, through board serve (bench_request_rtt.exe)"
timeout 300 "$WINE" "$win/bench/bench_request_rtt.exe" 2000 | tr -d '\r'
echo "== Pinvane under Wine on the served board (bench_pinvane_wine.exe)"
(cd "$WINEPREFIX/drive_c/board" && timeout 600 "$WINE" "$win/bench/bench_pinvane_wine.exe" 'C:\board' 200 100) | tr -d '\r'
echo "   driver handles left open: $("$host/board" status | awk '/^handles pid=/ && !/process ended/ { sub("open=", "", $3); n += $3 } END { print n + 0 }')"
echo "== Pinvane under Wine without GPI1: (closes only)"
(cd "$WINEPREFIX/drive_c/board" && BOARD_GPI1="" timeout 600 "$WINE" "$win/bench/bench_pinvane_wine.exe" 'C:\board' 0 100) | tr -d '\r'
echo "== Pinvane on the host (bench_pinvane)"
"$host/bench_pinvane" 200 100
echo "== load after: $(uptime)"
