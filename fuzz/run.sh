#!/usr/bin/env bash
# Builds the fuzz targets (clang 14, libFuzzer with AddressSanitizer and
# UndefinedBehaviorSanitizer, in build-fuzz) and runs each for a bounded time: SECONDS each, 60
# by default. Fails on any finding; the input that caused it is kept in
# build-fuzz/findings/TARGET/. New inputs found along the way go to build-fuzz/corpus/TARGET/,
# next to the seeds in fuzz/corpus/TARGET/, and are reused by the next run.
#
#   fuzz/run.sh [SECONDS]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}

scripts/install-deps.sh clang-14 libclang-rt-14-dev
cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_CXX_COMPILER=clang++-14 -DATE_SANITIZE=fuzzer-no-link,address,undefined \
  -DATE_BUILD_FUZZERS=ON -DATE_BUILD_TESTS=OFF >/dev/null
targets=(command_parse flow_file setting_file stdf_reader export_table http_request hsms_message)
cmake --build build-fuzz -j "$(nproc)" --target "${targets[@]/#/fuzz_}"

status=0
for target in "${targets[@]}"; do
  corpus=build-fuzz/corpus/$target
  findings=build-fuzz/findings/$target
  mkdir -p "$corpus" "$findings"
  echo "=== fuzz_$target, $seconds s"
  # The targets send the driver's own output to /dev/null themselves; libFuzzer, the sanitizers
  # and the targets' findings go to standard error, which goes to the log.
  log=build-fuzz/$target.log
  result=0
  build-fuzz/bin/fuzz_"$target" "$corpus" "fuzz/corpus/$target" \
    -max_total_time="$seconds" -timeout=10 -rss_limit_mb=4096 -max_len=65536 \
    -print_final_stats=1 -artifact_prefix="$findings/" >"$log" 2>&1 || result=$?
  if [ "$result" -eq 0 ]; then
    grep -E '^(INFO: seed corpus|#[0-9]+\s+(INITED|DONE)|Done [0-9]+ runs|stat::(number_of_executed_units|peak_rss_mb|new_units_added))' "$log" || true
  else
    tail -n 60 "$log"
    echo "=== fuzz_$target: FINDING (exit $result), input kept in $findings/"
    status=1
  fi
done
exit $status
