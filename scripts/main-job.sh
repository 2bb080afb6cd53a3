#!/usr/bin/env bash
# Installs what is missing, builds, and runs the example test project through the reference
# host: load, a run of three passes, a run until stopped and its stop, unload, exit.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh
cmake -S . -B build -G Ninja >/dev/null
cmake --build build -j "$(nproc)"

example=examples/pmic
library=$(find build/examples -maxdepth 1 -name 'pmic_project.*' | head -n 1)
echo "=== the example test project through the reference host"
build/ate-host \
  "load $library $example/pmic_flow.json" \
  "run $example/three_passes.json" \
  "wait" \
  "run $example/until_stopped_failstop.json" \
  "stop after 1" \
  "wait" \
  "unload" \
  "exit"
