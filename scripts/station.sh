#!/usr/bin/env bash
# Installs what is missing, builds, and starts the operator's station on the example test
# project: open the address it prints in a browser. Ctrl-C ends it (and its driver).
# Extra arguments go to ate-station, e.g. scripts/station.sh --listen 127.0.0.1:9090
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh
cmake -S . -B build -G Ninja >/dev/null
cmake --build build -j "$(nproc)"

# build/station-projects/pmic holds the example's library, flow and settings; datalogs go to
# build/station-datalog.
exec build/bin/ate-station --projects build/station-projects --datalogs build/station-datalog "$@"
