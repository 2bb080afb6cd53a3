#!/usr/bin/env bash
# Installs what is missing, builds, and runs a production lot on the example test project: the
# simulated handler (ate-handler-sim) feeds 200 parts to 4 sites, with empty sites and a jam,
# and the station tests them touchdown by touchdown and bins each part. With --prober, the
# simulator plays a prober instead: three round wafers, with a few dies tested again at the end of
# each. The lot is screened for outliers (PAT) at each wafer's end and at its end. The page can be watched meanwhile at the address the station prints (PRODUCTION_LISTEN,
# 127.0.0.1:8080 by default). Ends with the handler's verdict and the summary of the lot's
# datalogs; exits non-zero when the handler found anything wrong.
set -euo pipefail
cd "$(dirname "$0")/.."

prober=0
[ "${1:-}" = "--prober" ] && prober=1

scripts/install-deps.sh
cmake -S . -B build -G Ninja >/dev/null
cmake --build build -j "$(nproc)"

work=build/production
rm -rf "$work"
mkdir -p "$work"
if [ $prober -eq 1 ]; then
  handler_args=(--prober --wafers 3 --diameter 20 --retest 6 --sites 4 --index 2)
  lot_id=WAFERLOT1
else
  handler_args=(--sites 4 --parts 200 --empty 0.15 --index 5 --jam-after 12)
  lot_id=LOT1
fi
build/bin/ate-handler-sim --port 0 "${handler_args[@]}" >"$work/handler.log" 2>&1 &
handler=$!
trap 'kill $handler 2>/dev/null || true' EXIT
port=""
for _ in $(seq 1 100); do
  port=$(sed -n 's/^ate-handler-sim: listening on .*:\([0-9]*\)$/\1/p' "$work/handler.log")
  [ -n "$port" ] && break
  sleep 0.1
done
[ -n "$port" ] || { cat "$work/handler.log"; echo "the simulated handler didn't start" >&2; exit 1; }

cat >"$work/lot.json" <<LOT
{"project": "pmic", "flow": "pmic_flow.json", "setting": "lot_4_sites.json",
 "lotId": "$lot_id", "sublotId": "A", "operator": "demo", "partType": "PMIC-2",
 "testCode": "FT1", "temperature": "25", "pat": {}}
LOT
echo "=== the lot, through the station (its lines are in $work/station.log)"
build/bin/ate-station --projects build/station-projects --datalogs "$work/datalog" \
  --listen "${PRODUCTION_LISTEN:-127.0.0.1:8080}" --handler "127.0.0.1:$port" \
  --lot "$work/lot.json" --exit-after-lot | tee "$work/station.log"
status=0
wait $handler || status=$?
trap - EXIT

echo "=== the handler's lines (all of them in $work/handler.log)"
head -n 8 "$work/handler.log"
echo "   ..."
tail -n 4 "$work/handler.log"
echo "=== the lot's datalogs"
build/bin/ate-datalog summary "$work/datalog"/*.stdf
echo "=== the lot's outlier screening (in $(ls -d "$work"/datalog/*.pat))"
cat "$work"/datalog/*.pat/*_outliers.csv || true
exit $status
