#!/usr/bin/env bash
# Builds the benchmarks (Release, in build-bench) and runs them all, then lists every figure.
# Figures are ratios against the least work allowed, measured in the same run, or plain
# measurements; none of them fails the script. Google Benchmark options given here (for
# example --benchmark_repetitions=30) go to every Google Benchmark program.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh libbenchmark-dev
cmake -S . -B build-bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DATE_BUILD_BENCHMARKS=ON \
  -DATE_BUILD_TESTS=OFF >/dev/null
cmake --build build-bench -j "$(nproc)"

log=$(mktemp)
trap 'rm -f "$log"' EXIT
run() {
  echo
  echo "=== $*"
  "$@" | tee -a "$log"
}

bin=build-bench/bin
run "$bin/dispatch_bench" "$@"
run "$bin/flow_reading_bench" "$@"
run "$bin/flow_memory_bench"
run "$bin/grammar_bench" "$@"
run "$bin/datalog_bench" "$@"
run "$bin/export_bench" "$@"
run "$bin/pat_bench" "$@"
run "$bin/reader_bench"
run "$bin/commands_bench"
run "$bin/stop_bench"
run "$bin/memory_bench"
run "$bin/lot_bench"
run "$bin/http_bench" "$@"
run "$bin/access_bench" "$@"
run "$bin/event_delay_bench"
run "$bin/gem_bench"

echo
echo "=== figures ($(date -u +%Y-%m-%d), $(nproc) cores)"
grep '^figure: ' "$log" | sed 's/^figure: //'
