#!/bin/bash
# Builds the libFuzzer harnesses of fuzz/ with clang and runs them, one at a
# time, each for a while.  See --help.
set -euo pipefail

usage() {
  cat <<'USAGE'
usage: scripts/fuzz.sh [--seconds N] [--max-len BYTES] [--build DIR] [--merge] [HARNESS...]

Builds the harnesses (clang, libFuzzer, ASan/UBSan) in DIR (build-fuzz) and
runs each HARNESS named (every one in fuzz/corpus/ when none is) for N
seconds (60), one after the other, as a single job.

  --seconds N       how long each harness runs (FUZZ_SECONDS)
  --max-len BYTES   the largest input tried (131072: room for a registry key
                    50,000 levels deep)
  --build DIR       the build folder (build-fuzz)
  --merge           afterwards, add to the kept corpus fuzz/corpus/NAME/ those
                    inputs of the work folder that reach code it does not

The kept corpus fuzz/corpus/NAME/ is only read while fuzzing; new inputs go
to the work folder DIR/corpus/NAME/, and crashes, leaks, time-outs and
inputs that use too much memory to DIR/crashes/NAME/ (the fuzzer's log is
DIR/logs/NAME.log).  Replay one with DIR/bin/fuzz_NAME FILE.

Exit status: 0 no harness found anything, 1 one did (its files are listed),
2 bad arguments.
USAGE
}

seconds=${FUZZ_SECONDS:-60}
max_len=131072
build=build-fuzz
merge=0
harnesses=()
while [ $# -gt 0 ]; do
  case "$1" in
    -h|--help) usage; exit 0 ;;
    --seconds) seconds=${2:-}; shift 2 || { usage >&2; exit 2; } ;;
    --max-len) max_len=${2:-}; shift 2 || { usage >&2; exit 2; } ;;
    --build) build=${2:-}; shift 2 || { usage >&2; exit 2; } ;;
    --merge) merge=1; shift ;;
    -*) echo "fuzz.sh: unknown option $1 (see --help)" >&2; exit 2 ;;
    *) harnesses+=("$1"); shift ;;
  esac
done
for n in "$seconds" "$max_len"; do
  [[ "$n" =~ ^[1-9][0-9]*$ ]] || { echo "fuzz.sh: '$n' is not a positive whole number" >&2; exit 2; }
done

cd "$(dirname "$0")/.."
if [ ${#harnesses[@]} -eq 0 ]; then
  for d in fuzz/corpus/*/; do harnesses+=("$(basename "$d")"); done
fi
targets=()
for h in "${harnesses[@]}"; do
  [ -f "fuzz/fuzz_$h.cpp" ] || { echo "fuzz.sh: no harness '$h' (fuzz/fuzz_$h.cpp)" >&2; exit 2; }
  targets+=("fuzz_$h")
done

CC=clang CXX=clang++ cmake -S . -B "$build" -DFUZZ=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" --target "${targets[@]}" -j "${JOBS:-2}"

found=0
mkdir -p "$build/logs"
for h in "${harnesses[@]}"; do
  work="$build/corpus/$h" crashes="$build/crashes/$h"
  mkdir -p "$work" "$crashes"
  echo "== fuzz_$h: ${seconds}s, inputs up to $max_len bytes"
  before=$(ls "$crashes" | wc -l)
  # The first folder gets the new inputs; the kept corpus is only read.
  "$build/bin/fuzz_$h" -max_total_time="$seconds" -max_len="$max_len" -timeout=10 \
    -print_final_stats=1 -artifact_prefix="$crashes/" \
    "$work" "fuzz/corpus/$h" >"$build/logs/$h.log" 2>&1 || true
  grep -E '^(stat::number_of_executed_units|stat::new_units_added)' "$build/logs/$h.log" || true
  if [ "$(ls "$crashes" | wc -l)" -gt "$before" ]; then
    found=1
    echo "fuzz_$h found something (log: $build/logs/$h.log):"
    ls -t "$crashes" | head -n 5 | sed "s|^|  $crashes/|"
  fi
  if [ "$merge" = 1 ]; then
    "$build/bin/fuzz_$h" -merge=1 -max_len="$max_len" "fuzz/corpus/$h" "$work" \
      >>"$build/logs/$h.log" 2>&1
    echo "merged into fuzz/corpus/$h: $(ls "fuzz/corpus/$h" | wc -l) inputs"
  fi
done
exit $found
