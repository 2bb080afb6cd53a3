#!/usr/bin/env bash
# Installs what is missing, builds, and shows the driver answering a short host session.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh
cmake -S . -B build -G Ninja >/dev/null
cmake --build build -j "$(nproc)"

echo "=== driver session"
printf '%s\n' "1^qv -p stop" "2^qv -p load only-one-argument" "3^qv -p run /no/such/setting.json" \
  "4^qv -p unload" "exit" | build/driver
