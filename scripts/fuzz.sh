#!/usr/bin/env bash
# SPDX-License-Identifier: BSD-2-Clause-Patent
#
# The libFuzzer targets of TolmVexaPkg/Test/Fuzz (built by the clang sanitizer
# suite into build/clang/, which this script configures and builds if needed;
# run scripts/setup.sh once first).
#
#   scripts/fuzz.sh smoke                 every target, a fixed number of inputs
#                                         from its seeds (what ctest runs)
#   scripts/fuzz.sh long [SECONDS] [TARGET...]
#                                         every target (or those named) for
#                                         SECONDS each (default 1800), as many
#                                         at once as there are cores; the
#                                         corpus grows in build/fuzz/corpus/
#   scripts/fuzz.sh list                  the targets
#
# With FUZZ_RUNS=N in the environment, a long run stops each target after N
# inputs instead of after SECONDS; with FUZZ_WORKERS=N each target runs in N
# processes sharing its corpus (and the inputs are shared among them).
#
# Prints, per target: inputs executed, inputs per second, coverage reached
# (edges hit of those instrumented, and libFuzzer's feature count), corpus
# size, and findings. A finding is kept as build/fuzz/findings/<target>-crash-*
# (or leak-, timeout-, oom-); replay it with build/clang/Fuzz/<target> <file>.
# Exits non-zero when any target has a finding.
set -eo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
SUITE="$ROOT/build/clang"
WORK="$ROOT/build/fuzz"
FUZZ_SRC="$ROOT/TolmVexaPkg/Test/Fuzz"
TARGETS=(pending_tasks_fuzz import_cert_fuzz sync_fuzz debug_print_fuzz)
SMOKE_RUNS=20000

say()  { printf '[fuzz] %s\n' "$*"; }
fail() { printf '[fuzz] FAILED: %s\n' "$*" >&2; exit 1; }

build_suite() {
  if [ ! -f "$SUITE/build.ninja" ]; then
    say "configure the sanitizer suite into build/clang/"
    mkdir -p "$SUITE"
    CC=clang CXX=clang++ cmake -S "$ROOT/TolmVexaPkg/Test" -B "$SUITE" -G Ninja \
      -DEDK2_DIR="$ROOT/.deps/edk2" -DTOLM_SANITIZER_SUITE=ON >"$SUITE/configure.log" 2>&1 \
      || { tail -n 20 "$SUITE/configure.log" >&2; fail "configure (run scripts/setup.sh first)"; }
  fi
  say "build the fuzz targets"
  cmake --build "$SUITE" -j"$(nproc)" --target "${TARGETS[@]}" >"$SUITE/fuzz-build.log" 2>&1 \
    || { grep -E 'error' -A3 "$SUITE/fuzz-build.log" | head -n 40 >&2; fail "build"; }
}

# run_one TARGET [libFuzzer options...]: one target over its corpus and seeds,
# in FUZZ_WORKERS processes (default 1) that share the corpus folder, each
# logging to build/fuzz/logs/TARGET.<n>.log.
# HandlePendingTasks does a store write for every record of a list, so its
# inputs are kept to 2 KiB (a list of 300 records, or a 900-byte certificate
# and its list); the others take up to 8 KiB.
run_one() {
  local target=$1 max_len=8192 worker
  shift
  [ "$target" = pending_tasks_fuzz ] && max_len=2048
  mkdir -p "$WORK/corpus/$target" "$WORK/findings"
  for ((worker = 1; worker <= ${FUZZ_WORKERS:-1}; worker++)); do
    "$SUITE/Fuzz/$target" -print_final_stats=1 -dict="$FUZZ_SRC/Vexa.dict" -max_len=$max_len -timeout=10 \
      -artifact_prefix="$WORK/findings/$target-" "$@" \
      "$WORK/corpus/$target" "$FUZZ_SRC/Seeds/$target" >"$WORK/logs/$target.$worker.log" 2>&1 &
  done
  wait || true
}

# report TARGET: one line of figures from the libFuzzer logs of the target
# (inputs and inputs per second summed over its workers).
report() {
  local target=$1 logs execs rate edges total features corpus findings last
  logs=("$WORK/logs/$target".*.log)
  [ -f "${logs[0]}" ] || { printf '%-20s no log\n' "$target"; return 1; }
  execs=$(cat "${logs[@]}" | grep -a 'stat::number_of_executed_units' | awk '{n += $2} END {print n}')
  rate=$(cat "${logs[@]}" | grep -a 'stat::average_exec_per_sec' | awk '{n += $2} END {print n}')
  total=$(grep -a -m1 -h 'inline 8-bit counters' "${logs[0]}" | sed -E 's/.*\(([0-9]+) inline.*/\1/')
  last=$(for log in "${logs[@]}"; do grep -a -E '^#[0-9]+' "$log" | tail -n 1; done)
  edges=$(sed -E 's/.* cov: ([0-9]+).*/\1/' <<<"$last" | sort -n | tail -n 1)
  features=$(sed -E 's/.* ft: ([0-9]+).*/\1/' <<<"$last" | sort -n | tail -n 1)
  corpus=$(find "$WORK/corpus/$target" -type f | wc -l)
  findings=$(find "$WORK/findings" -name "$target-*" -type f | wc -l)
  printf '%-20s %12s inputs %7s/s  edges %5s of %5s  features %6s  corpus %5s  findings %s\n' \
    "$target" "${execs:-?}" "${rate:-?}" "${edges:-?}" "${total:-?}" "${features:-?}" "$corpus" "$findings"
  [ "$findings" = 0 ] && [ "$(cat "${logs[@]}" | grep -a -c 'stat::number_of_executed_units')" = "${#logs[@]}" ]
}

mode=${1:-smoke}
case "$mode" in
  list)
    printf '%s\n' "${TARGETS[@]}"
    exit 0 ;;
  smoke)
    build_suite
    opts=(-seed=1 -runs=$SMOKE_RUNS)
    selected=("${TARGETS[@]}") ;;
  long)
    seconds=${2:-1800}
    shift 2 || shift $#
    selected=("${@:-${TARGETS[@]}}")
    [ ${#selected[@]} -gt 0 ] || selected=("${TARGETS[@]}")
    build_suite
    # Two frames of allocation stack are enough for a report, and unwinding
    # fewer makes every input about a quarter faster.
    export ASAN_OPTIONS=${ASAN_OPTIONS:-malloc_context_size=2}
    # The driver allocates only from the simulated pool, which accounts for
    # every block after each input: libFuzzer's own leak re-runs are not needed.
    opts=(-detect_leaks=0)
    if [ -n "$FUZZ_RUNS" ]; then
      opts+=(-runs=$(((FUZZ_RUNS + ${FUZZ_WORKERS:-1} - 1) / ${FUZZ_WORKERS:-1})))
      say "long run: ${selected[*]}, $FUZZ_RUNS inputs each, ${FUZZ_WORKERS:-1} process(es) per target"
    else
      opts+=(-max_total_time="$seconds")
      say "long run: ${selected[*]}, ${seconds} s each, ${FUZZ_WORKERS:-1} process(es) per target"
    fi ;;
  *)
    fail "unknown mode '$mode' (smoke, long, list)" ;;
esac

mkdir -p "$WORK/logs"
# Stopping the script stops the fuzzers it started.
trap 'trap - INT TERM; kill 0' INT TERM
export -f run_one
export SUITE WORK FUZZ_SRC FUZZ_WORKERS
for target in "${selected[@]}"; do
  rm -f "$WORK/logs/$target".*.log
done
printf '%s\n' "${selected[@]}" | xargs -P "$(( $(nproc) / ${FUZZ_WORKERS:-1} > 0 ? $(nproc) / ${FUZZ_WORKERS:-1} : 1 ))" \
  -I{} bash -c 'run_one "$1" "${@:2}"' _ {} "${opts[@]}"

status=0
for target in "${selected[@]}"; do
  report "$target" || status=1
done
[ $status = 0 ] || say "findings or failed runs: see build/fuzz/findings/ and build/fuzz/logs/"
exit $status
