// The station's page in a real headless Chromium: pick the example, load it, run three passes
// and watch the lines and the bins come in, run until stopped and stop, unload. Saves a
// screenshot. Run by CTest:
//   node station.test.cjs PROJECTS_DIR WORK_DIR SCREENSHOT STATION_COMMAND...
// (the command is the station program, after an emulator that runs it, if any)
// with NODE_PATH pointing at the node_modules that hold playwright-core.
"use strict";

const { chromium } = require("playwright-core");
const { spawn } = require("child_process");
const fs = require("fs");
const path = require("path");

const [projects, work, screenshot, ...command] = process.argv.slice(2);
const TIMEOUT = 20000;

function startStation() {
  fs.rmSync(work, { recursive: true, force: true });
  fs.mkdirSync(work, { recursive: true });
  const child = spawn(command[0], [...command.slice(1), "--projects", projects, "--datalogs",
                                   path.join(work, "datalog"), "--listen", "127.0.0.1:0"],
                      { stdio: ["ignore", "pipe", "inherit"] });
  return new Promise((resolve, reject) => {
    let text = "";
    const timer = setTimeout(() => reject(new Error("the station printed no address")), TIMEOUT);
    child.stdout.on("data", (data) => {
      text += data;
      const found = text.match(/http:\/\/127\.0\.0\.1:(\d+)\//);
      if (found) {
        clearTimeout(timer);
        resolve({ child, url: found[0] });
      }
    });
    child.on("exit", (code) => reject(new Error("the station ended with " + code)));
  });
}

async function main() {
  const { child, url } = await startStation();
  const browser = await chromium.launch({
    executablePath: "/usr/bin/chromium",
    headless: true,
    args: ["--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
           "--disable-background-networking", "--disable-component-update", "--disable-sync"],
  });
  const page = await browser.newPage({ viewport: { width: 1400, height: 900 } });
  try {
    page.setDefaultTimeout(TIMEOUT);
    const problems = [];
    page.on("pageerror", (error) => problems.push(error.message));
    await page.goto(url);

    const phase = (text) => page.waitForFunction(
      (wanted) => new RegExp(wanted).test(document.getElementById("phase").textContent), text);
    const lines = (pattern) => page.$$eval("#lines div",
      (divs, source) => divs.filter((d) => new RegExp(source).test(d.textContent)).length, pattern);
    const waitLines = (pattern, count) => page.waitForFunction(
      ([source, wanted]) => [...document.querySelectorAll("#lines div")]
        .filter((d) => new RegExp(source).test(d.textContent)).length >= wanted, [pattern, count]);

    await phase("^ready$");
    await page.selectOption("#project", "pmic");
    await page.selectOption("#flow", "pmic_flow.json");
    await page.click("#load");
    await page.waitForFunction(() => /^load: \d+\^done$/.test(document.getElementById("reply").textContent));
    await phase("^project loaded$");

    await page.selectOption("#setting", "three_passes.json");
    await page.click("#run");
    await waitLines("^\\d+\\^execute done$", 1);
    await phase("^project loaded$");
    const passes = await lines("^pass \\d+ done$");
    if (passes !== 3) throw new Error("expected 3 passes on the page, saw " + passes);
    // Every part of the three passes on four devices lands in a hard bin and a soft bin.
    const binTotal = (table) => page.waitForFunction((id) =>
      [...document.querySelectorAll(`#${id} tbody tr`)]
        .reduce((sum, row) => sum + Number(row.cells[3].textContent), 0) === 12, table);
    await binTotal("hard-bins");
    await binTotal("soft-bins");
    await page.waitForFunction(() => document.querySelectorAll("#devices tbody tr").length === 4);
    await page.screenshot({ path: screenshot });

    await page.selectOption("#setting", "until_stopped_failstop.json");
    await page.click("#run");
    await phase("^run \\d+ going");
    await waitLines("^pass \\d+ done$", passes + 3);
    await page.click("#stop");
    await waitLines("^\\d+\\^execute done$", 2);
    await phase("^project loaded$");

    await page.click("#unload");
    await phase("^ready$");
    if (problems.length) throw new Error("the page threw: " + problems.join("; "));
    console.log("the page ran the example, showed its lines and bins, stopped and unloaded it");
  } catch (error) {
    // What the page showed when it went wrong.
    await page.screenshot({ path: screenshot.replace(/\.png$/, "-failure.png") }).catch(() => {});
    throw error;
  } finally {
    await browser.close();
    child.kill("SIGTERM");
  }
}

main().catch((error) => {
  console.error("station browser test failed: " + error.message);
  process.exit(1);
});
