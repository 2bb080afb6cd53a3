// The exported tables of several datalogs, read by DuckDB with Hive partitioning, against what
// `ate-datalog summary` says of the same files.
//
//   node fleet.test.cjs FLEET_DATALOGS ATE_DATALOG WORK ATE_HOST EXAMPLE_LIBRARY FLOW SETTING
// (the example's own lot: its run of three passes through the driver, as ate-host drives it)
const { execFileSync } = require('node:child_process');
const fs = require('node:fs');
const path = require('node:path');
const assert = require('node:assert/strict');
const { DuckDBInstance } = require('@duckdb/node-api');

const [fleetDatalogs, ateDatalog, work, ateHost, example, flow, setting] = process.argv.slice(2);
const logs = path.join(work, 'datalogs');
const tables = path.join(work, 'tables');
fs.rmSync(work, { recursive: true, force: true });
fs.mkdirSync(logs, { recursive: true });
execFileSync(fleetDatalogs, [logs]);
execFileSync(ateHost, [`load ${example} ${flow}`, `run ${setting}`, 'wait', 'unload', 'exit'],
             { env: { ...process.env, ATE_DATALOG_DIR: logs }, stdio: 'ignore' });
const files = fs.readdirSync(logs).sort().map((name) => path.join(logs, name));
execFileSync(ateDatalog, ['export', '--to', tables, ...files]);

const tool = (...args) => execFileSync(ateDatalog, args, { encoding: 'utf8' });
const lotOf = (file) => /LOT_ID="([^"]*)"/.exec(tool('dump', file))[1];
const lots = new Map();  // lot id -> its files
for (const file of files) {
  const lot = lotOf(file);
  lots.set(lot, [...(lots.get(lot) || []), file]);
}
assert.deepEqual([...lots.keys()].sort(), ['', 'A/1', 'B=2, 50%.', 'LOT0001']);

// `summary` of a lot's files: parts and good parts, and per test its executions and fails.
function summary(lotFiles, ...options) {
  const text = tool('summary', ...options, ...lotFiles);
  const all = /^ {2}all +(\d+) +(\d+) /m.exec(text);
  const tests = {};
  const section = text.split('\nTests\n')[1].split('\n\n')[0].split('\n').slice(1);
  for (const line of section) {
    const cells = line.trim().split(/ +/);
    tests[cells[0]] = { count: Number(cells[5]), fails: Number(cells[6]) };
  }
  return { parts: Number(all[1]), good: Number(all[2]), tests };
}

(async () => {
  const instance = await DuckDBInstance.create(':memory:');
  const db = await instance.connect();
  const query = async (sql) => (await db.runAndReadAll(sql)).getRowObjectsJson();
  const table = (name) =>
    `read_csv('${tables.replaceAll("'", "''")}/${name}/**/*.csv.gz', hive_partitioning = true)`;

  // The partition values decode to the MIR's: the lot of every row is its lot_id, empty as NULL.
  const mismatched = await query(
    `SELECT count(*) AS n FROM ${table('parts')} WHERE lot IS DISTINCT FROM lot_id`);
  assert.equal(Number(mismatched[0].n), 0);

  const byLot = await query(`
    SELECT coalesce(lot, '') AS lot, count(*) AS parts, count(*) FILTER (passed) AS good,
           count(*) FILTER (NOT superseded) AS final,
           count(*) FILTER (passed AND NOT superseded) AS final_good,
           any_value(part_type) AS part_type
    FROM ${table('parts')} GROUP BY ALL ORDER BY lot`);
  const tested = await query(`
    SELECT coalesce(lot, '') AS lot, test_num, count(*) FILTER ((flags & 16) = 0) AS count,
           count(*) FILTER (passed = false) AS fails
    FROM ${table('results')} GROUP BY ALL ORDER BY lot, test_num`);
  const named = await query(`
    SELECT DISTINCT coalesce(lot, '') AS lot, test_num, name FROM ${table('tests')}
    ORDER BY lot, test_num`);

  assert.equal(byLot.length, lots.size);
  for (const row of byLot) {
    const lotFiles = lots.get(row.lot);
    // Every part as summary --all-parts counts them; the final ones as summary does.
    const expected = summary(lotFiles, '--all-parts');
    const counted = summary(lotFiles);
    assert.deepEqual(
      [row.part_type, Number(row.parts), Number(row.good), Number(row.final),
        Number(row.final_good)],
      ['PMIC', expected.parts, expected.good, counted.parts, counted.good], `lot ${row.lot}`);
    const tests = {};
    for (const t of tested.filter((t) => t.lot === row.lot)) {
      tests[t.test_num] = { count: Number(t.count), fails: Number(t.fails) };
    }
    assert.deepEqual(tests, expected.tests, `tests of lot ${row.lot}`);
    if (row.lot === 'LOT0001') continue;  // the example's own tests
    assert.deepEqual(named.filter((t) => t.lot === row.lot).map((t) => `${t.test_num} ${t.name}`),
      ['100 T100', '101 T101', '102 T102', '103 T103', '104 T104', '200 null']);
  }
  // Retests were there to be found in the lots made for it; the example's three passes of four
  // devices, with no wafer and no retest flags, are twelve parts of which DUT3's three fail.
  assert.ok(byLot.every((row) => ['', 'LOT0001'].includes(row.lot) ||
                                 Number(row.final) < Number(row.parts)));
  const example = byLot.find((row) => row.lot === 'LOT0001');
  assert.deepEqual([Number(example.parts), Number(example.good), Number(example.final)], [12, 9, 12]);

  // Parquet, as docs/fleet.md shows it.
  const parquet = path.join(work, 'parts.parquet').replaceAll("'", "''");
  await query(`COPY (SELECT * FROM ${table('parts')}) TO '${parquet}' (FORMAT parquet)`);
  const back = await query(`SELECT count(*) AS n FROM '${parquet}'`);
  assert.equal(Number(back[0].n), byLot.reduce((sum, row) => sum + Number(row.parts), 0));
  console.log(`fleet: ${files.length} datalogs, ${byLot.length} lots agree with summary`);
})().catch((error) => {
  console.error(error);
  process.exit(1);
});
