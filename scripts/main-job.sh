#!/usr/bin/env bash
# Installs what is missing, builds, and runs the example test project through the reference
# host: load, a run of three passes, a run until stopped and its stop, unload, exit; then the
# summary of the run's datalog. Ends with a short production lot through the station and the
# simulated prober (three wafers), its summary, its outlier screening and its wafer maps.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh
cmake -S . -B build -G Ninja >/dev/null
cmake --build build -j "$(nproc)"

example=examples/pmic
library=$(find build/examples -maxdepth 1 -name 'pmic_project.*' | head -n 1)
# The example's datalog goes to a fresh folder, so that the summary below is this run's alone.
export ATE_DATALOG_DIR=$PWD/build/main-job-datalog
rm -rf "$ATE_DATALOG_DIR"
echo "=== the example test project through the reference host"
build/bin/ate-host \
  "load $library $example/pmic_flow.json" \
  "run $example/three_passes.json" \
  "wait" \
  "run $example/until_stopped_failstop.json" \
  "stop after 1" \
  "wait" \
  "unload" \
  "exit"

echo "=== the run's datalog"
build/bin/ate-datalog summary "$ATE_DATALOG_DIR"/*.stdf

echo
echo "=== a short production lot: three wafers through the station and the simulated prober"
PRODUCTION_LISTEN=127.0.0.1:0 scripts/production.sh --prober
echo "=== the lot's wafer maps after outlier screening"
build/bin/ate-datalog map build/production/datalog/*.pat/*.pat.stdf
