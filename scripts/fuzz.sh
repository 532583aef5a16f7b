#!/bin/sh
# Fuzzing of the readers and parsers (fuzz/), built with clang in build-fuzz/.
#
#   scripts/fuzz.sh [SECONDS [NAME...]]
#                               fuzzes each target (or the targets named) for SECONDS (default
#                               600), one after another on one core, and prints per target the
#                               executions, the coverage reached (cov: edges, ft: features) and
#                               the time.
#   scripts/fuzz.sh --replay    runs every target once over each input of its corpus
#                               (fuzz/corpus/<name>/), as the test command does.
#
# The build directory is build-fuzz/, or $ZARVO_FUZZ_BUILD. New inputs found while fuzzing go to
# its corpus/<name>/, crashes to its crashes/<name>/; a crash found is fixed and its input added
# to fuzz/corpus/<name>/.
# Exits with status 1 when any target crashed.
set -eu
cd "$(dirname "$0")/.."

mode=fuzz
seconds=600
case "${1:-}" in
  --replay) mode=replay ;;
  "") ;;
  *[!0-9]*) echo "usage: scripts/fuzz.sh [SECONDS [NAME...] | --replay]" >&2; exit 2 ;;
  *) seconds=$1 ;;
esac
[ $# -gt 0 ] && shift

build="${ZARVO_FUZZ_BUILD:-$PWD/build-fuzz}"
jobs=$(nproc 2>/dev/null || echo 2)
targets=$(sed -n 's/^zarvo_fuzz_target(\([a-z0-9_]*\).*/\1/p' fuzz/CMakeLists.txt)
if [ "$mode" = fuzz ] && [ $# -gt 0 ]; then
  targets="$*"
fi

cmake -S . -B "$build" -DZARVO_FUZZ=ON -DBUILD_TESTING=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j "$jobs" --target $(for t in $targets; do printf 'fuzz_%s ' "$t"; done) >/dev/null

# Leaks count as faults; a reader that takes too long on a small input is a fault as well.
export ASAN_OPTIONS="detect_leaks=1:${ASAN_OPTIONS:-}"
export UBSAN_OPTIONS="print_stacktrace=1:${UBSAN_OPTIONS:-}"
failed=""

if [ "$mode" = replay ]; then
  for t in $targets; do
    log="$build/replay-$t.log"
    count=$(find "$PWD/fuzz/corpus/$t" -type f | wc -l)
    if find "$PWD/fuzz/corpus/$t" -type f -print0 | sort -z |
        xargs -0 "$build/fuzz/fuzz_$t" -timeout=20 >"$log" 2>&1; then
      echo "replay $t: $count inputs passed"
    else
      echo "replay $t: FAILED, see $log"
      tail -40 "$log"
      failed="$failed $t"
    fi
  done
else
  for t in $targets; do
    work="$build/corpus/$t"
    crashes="$build/crashes/$t"
    log="$build/fuzz-$t.log"
    mkdir -p "$work" "$crashes"
    start=$(date +%s)
    if ! "$build/fuzz/fuzz_$t" -max_total_time="$seconds" -max_len=4096 -timeout=20 -rss_limit_mb=2048 \
        -close_fd_mask=2 -print_final_stats=1 -artifact_prefix="$crashes/" \
        "$work" "$PWD/fuzz/corpus/$t" >"$log" 2>&1; then
      failed="$failed $t"
    fi
    end=$(date +%s)
    execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
    last=$(grep -E '^#[0-9]+' "$log" | tail -1)
    cov=$(echo "$last" | sed -n 's/.* cov: \([0-9]*\).*/\1/p')
    ft=$(echo "$last" | sed -n 's/.* ft: \([0-9]*\).*/\1/p')
    echo "fuzz $t: ${execs:-?} executions, cov ${cov:-?}, ft ${ft:-?}, $((end - start)) s"
  done
fi

if [ -n "$failed" ]; then
  echo "fuzz.sh: failed:$failed (logs in $build/)" >&2
  exit 1
fi
