// A factory host drives the station over SECS/GEM: secs4js's HSMS active communicator connects,
// establishes communications, finds the variables and events by name, defines and links
// reports, selects the example's release (an engineer released it through the station's API),
// starts a lot fed by the simulated handler (which jams
// once), receives every touchdown's bins, the handler's alarm set and cleared, stops the lot and
// gets its end. Then bad messages over a bare socket: an unknown stream and function, a body
// that can't be decoded, each answered with its S9 while the link stays up, and a second
// connection refused. Run by CTest:
//   node gem.test.mjs PROJECTS_DIR WORK_DIR --handler HANDLER_COMMAND... --station STATION_COMMAND...
// with NODE_PATH pointing at the node_modules that hold secs4js.
import { spawn } from "node:child_process";
import fs from "node:fs";
import net from "node:net";
import path from "node:path";
import { createRequire } from "node:module";

const require = createRequire(import.meta.url);
const secs = await import(require.resolve("secs4js"));
const { A, BOOLEAN, HsmsActiveCommunicator, L, U4 } = secs;

const [projects, work, ...commands] = process.argv.slice(2);
const handlerCommand = commands.slice(commands.indexOf("--handler") + 1,
                                      commands.indexOf("--station"));
const stationCommand = commands.slice(commands.indexOf("--station") + 1);
const TIMEOUT = 30000;
const children = [];
process.on("exit", () => children.forEach((child) => child.kill("SIGKILL")));

function fail(why) {
  throw new Error(why);
}
function check(condition, why) {
  if (!condition) fail(why);
}

// Runs a command to its end with input on its standard input; rejects unless it exits with 0.
function runToEnd(words, args, input, what) {
  const all = [...words, ...args];
  const child = spawn(all[0], all.slice(1), { stdio: ["pipe", "ignore", "inherit"] });
  child.stdin.end(input);
  return new Promise((resolve, reject) => {
    child.on("exit", (code) => (code === 0 ? resolve() : reject(new Error(what + " ended with " +
                                                                         code))));
  });
}

// The station's API as its page calls it, with the engineer's session once logged in.
let cookie = "";
async function api(pageUrl, route, body) {
  const headers = { Cookie: cookie };
  const init = { headers };
  if (body !== undefined) {
    init.method = "POST";
    init.body = JSON.stringify(body);
    headers["Content-Type"] = "application/json";
    headers.Origin = pageUrl.replace(/\/$/, "");
  }
  const response = await fetch(pageUrl + "api/" + route, init);
  const session = response.headers.get("set-cookie");
  if (session) cookie = session.split(";")[0];
  return response;
}

function startUntil(words, args, pattern, what) {
  const all = [...words, ...args];
  const child = spawn(all[0], all.slice(1), { stdio: ["ignore", "pipe", "inherit"] });
  children.push(child);
  return new Promise((resolve, reject) => {
    let text = "";
    const timer = setTimeout(() => reject(new Error(what + " printed nothing in time")), TIMEOUT);
    child.stdout.on("data", (data) => {
      text += data;
      const found = text.match(pattern);
      if (found) {
        clearTimeout(timer);
        resolve({ child, found });
      }
    });
    child.on("exit", (code) => reject(new Error(what + " ended with " + code)));
  });
}

// Waits until test() holds for something in list (checked as items come), or fails saying what.
function waitFor(list, test, what) {
  return new Promise((resolve, reject) => {
    const started = Date.now();
    const look = () => {
      const found = list.find(test);
      if (found) return resolve(found);
      if (Date.now() - started > TIMEOUT) return reject(new Error("never came: " + what));
      setTimeout(look, 20);
    };
    look();
  });
}

const byte = (item) => item.value[0];
const number = (item) => Number(Array.isArray(item.value) ? item.value[0] : item.value);
const numbers = (item) => (Array.isArray(item.value) ? item.value : [item.value]).map(Number);

async function hostSession(port, pageUrl) {
  const host = new HsmsActiveCommunicator({ ip: "127.0.0.1", port, deviceId: 0, isEquip: false,
                                            timeoutT3: 20, log: { enabled: false } });
  const events = [];  // S6F11 bodies
  const alarms = [];  // S5F1 bodies
  host.on("message", (msg) => {
    void (async () => {
      if (msg.stream === 6 && msg.func === 11) {
        events.push(msg.body);
        await host.reply(msg, 6, 12, secs.B(Buffer.from([0])));
      } else if (msg.stream === 5 && msg.func === 1) {
        alarms.push(msg.body);
        await host.reply(msg, 5, 2, secs.B(Buffer.from([0])));
      } else if (msg.stream === 1 && msg.func === 13) {
        await host.reply(msg, 1, 14, L(secs.B(Buffer.from([0])), L()));
      } else if (msg.stream === 1 && msg.func === 1) {
        await host.reply(msg, 1, 2, L());
      }
    })();
  });
  await host.open();
  await host.untilConnected();

  const established = await host.send(1, 13, true, L());
  check(byte(established.body[0]) === 0, "S1F14's COMMACK is not 0");
  const online = await host.send(1, 17, true);
  check(byte(online.body) === 2, "S1F18 does not say the station is online already");

  // Every id by its name.
  const names = async (stream, func) => {
    const reply = await host.send(stream, func, true, L());
    const out = {};
    for (const entry of reply.body.value) out[entry[1].value] = number(entry[0]);
    return out;
  };
  const sv = await names(1, 11);
  const dv = await names(1, 21);
  const ce = await names(1, 23);
  for (const name of ["Clock", "ControlState", "ProcessState", "PreviousProcessState", "PPExecName",
                      "LotID", "SubLotID", "OperatorID", "ProductID", "SiteCount", "LotPartCount",
                      "LotGoodCount", "LotYield", "HardBinCounts", "SoftBinCounts", "HandlerState",
                      "WaferID"]) {
    check(sv[name] !== undefined, "no status variable " + name);
  }
  for (const name of ["TouchdownSites", "TouchdownPartIDs", "TouchdownBins", "AlarmID",
                      "AlarmText"]) {
    check(dv[name] !== undefined, "no data variable " + name);
  }
  for (const name of ["ControlStateChanged", "ProcessStateChanged", "PPSelected", "LotStarted",
                      "LotPaused", "LotResumed", "LotEnded", "LotResumedAfterRestart",
                      "WaferStarted", "WaferEnded", "TouchdownDone", "AlarmSet", "AlarmCleared"]) {
    check(ce[name] !== undefined, "no collection event " + name);
  }
  const control = await host.send(1, 3, true, L(U4(sv.ControlState)));
  check(number(control.body[0]) === 5, "ControlState is not online remote");

  // Reports: the lot's identity and count, a touchdown's lists, an alarm's id and text.
  const define = await host.send(2, 33, true, L(U4(1), L(
      L(U4(1), L(U4(sv.LotID), U4(sv.LotPartCount), U4(sv.SoftBinCounts))),
      L(U4(2), L(U4(dv.TouchdownSites), U4(dv.TouchdownPartIDs), U4(dv.TouchdownBins))),
      L(U4(3), L(U4(dv.AlarmID), U4(dv.AlarmText))))));
  check(byte(define.body) === 0, "S2F34's DRACK is not 0");
  const unknown = await host.send(2, 33, true, L(U4(2), L(L(U4(4), L(U4(999999))))));
  check(byte(unknown.body) === 4, "a report of an unknown variable is not refused with DRACK 4");
  const link = await host.send(2, 35, true, L(U4(3), L(
      L(U4(ce.LotStarted), L(U4(1))), L(U4(ce.LotEnded), L(U4(1))),
      L(U4(ce.TouchdownDone), L(U4(2))), L(U4(ce.AlarmSet), L(U4(3))),
      L(U4(ce.AlarmCleared), L(U4(3))))));
  check(byte(link.body) === 0, "S2F36's LRACK is not 0");
  const enable = await host.send(2, 37, true, L(BOOLEAN(true), L()));
  check(byte(enable.body) === 0, "S2F38's ERACK is not 0");

  // The program, and the lot.
  const programs = await host.send(7, 19, true);
  const ppids = programs.body.value.map((item) => item.value);
  check(ppids.includes("PMIC@A") && !ppids.includes("pmic/pmic_flow.json"),
        "S7F20 is not the released programs alone: " + ppids);
  const command = (rcmd, params) =>
    host.send(2, 41, true, L(A(rcmd), L(...params.map(([n, v]) => L(A(n), A(v))))));
  const bad = await command("PP-SELECT", [["PPID", "nothing/such.json"]]);
  check(byte(bad.body[0]) === 3, "an unknown program is not refused with HCACK 3");
  const early = await command("START", [["LOTID", "GEMLOT1"], ["SETTING", "lot_4_sites.json"]]);
  check(byte(early.body[0]) === 2, "START before PP-SELECT is not refused with HCACK 2");
  const select = await command("PP-SELECT", [["PPID", "PMIC@A"]]);
  check(byte(select.body[0]) === 0, "PP-SELECT's HCACK is not 0");
  const start = await command("START", [["LOTID", "GEMLOT1"], ["SETTING", "lot_4_sites.json"],
                                        ["OPERATOR", "host"]]);
  check(byte(start.body[0]) === 4, "START's HCACK is not 4");

  const ofEvent = (ceid) => (body) => number(body[1]) === ceid;
  const started = await waitFor(events, ofEvent(ce.LotStarted), "LotStarted");
  check(started[2].value[0][1].value[0].value === "GEMLOT1", "LotStarted's LotID is wrong");
  // Every touchdown's sites, part ids and bins; the handler jams and recovers in between.
  await waitFor(events, (body) => events.filter(ofEvent(ce.TouchdownDone)).length >= 6,
                "six touchdowns");
  for (const body of events.filter(ofEvent(ce.TouchdownDone))) {
    const [sites, ids, bins] = body[2].value[0][1].value;
    const n = numbers(sites).length;
    check(n >= 1 && n <= 4, "a touchdown of " + n + " sites");
    check(ids.value.length === n && numbers(bins).length === n,
          "a touchdown's part ids or bins don't match its sites");
    check(numbers(bins).every((bin) => bin >= 1), "a touchdown without a bin");
  }
  const set = await waitFor(alarms, (body) => (byte(body[0]) & 0x80) !== 0, "S5F1 set");
  const alid = number(set[1]);
  await waitFor(alarms, (body) => (byte(body[0]) & 0x80) === 0 && number(body[1]) === alid,
                "S5F1 cleared");
  await waitFor(events, ofEvent(ce.AlarmSet), "AlarmSet");
  const stop = await command("STOP", []);
  check(byte(stop.body[0]) === 4, "STOP's HCACK is not 4");
  const ended = await waitFor(events, ofEvent(ce.LotEnded), "LotEnded");
  const [, partCount, softBins] = ended[2].value[0][1].value;
  check(number(partCount) > 0, "LotEnded counts no parts");
  const softTotal = softBins.value.reduce((sum, pair) => sum + number(pair[1]), 0);
  check(softTotal >= number(partCount), "the soft bins count " + softTotal + " of " +
        number(partCount) + " parts");
  const after = await command("PAUSE", []);
  check(byte(after.body[0]) === 2, "PAUSE with no lot is not refused with HCACK 2");

  // The page: the link's state, the host's text and the operator's answer, the operator's switch.
  const page = await (await api(pageUrl, "gem")).json();
  check(page.communicating && page.control === "online remote" && page.ppid === "PMIC@A",
        "the page shows " + JSON.stringify(page));
  const terminal = await host.send(10, 3, true, L(secs.B(Buffer.from([0])), A("Clean the probe card")));
  check(byte(terminal.body) === 0, "S10F4's ACKC10 is not 0");
  const shown = await (await api(pageUrl, "gem")).json();
  check(shown.terminalText === "Clean the probe card", "the host's text is not on the page");
  const answers = [];
  host.on("message", (msg) => {
    if (msg.stream === 10 && msg.func === 1) answers.push(msg.body);
  });
  const post = (route, body) => api(pageUrl, route, body);
  check((await post("gem/answer", { text: "done" })).ok, "the answer is refused");
  const answer = await waitFor(answers, () => true, "S10F1 with the operator's answer");
  check(answer[1].value === "done", "S10F1 carries " + answer[1].value);
  check((await post("gem/control", { online: true, remote: false })).ok, "the switch is refused");
  await waitFor(events, ofEvent(ce.ControlStateChanged), "ControlStateChanged");
  const local = await host.send(1, 3, true, L(U4(sv.ControlState)));
  check(number(local.body[0]) === 4, "ControlState is not online local after the switch");
  const refused = await command("PAUSE", []);
  check(byte(refused.body[0]) === 2, "a remote command in local is not refused with HCACK 2");
  await host.send(1, 15, true);  // host offline: the station keeps quiet now
  await host.close();
}

// HSMS by hand, for what a well-behaved host never sends.
function rawConnection(port) {
  const socket = net.connect(port, "127.0.0.1");
  let buffer = Buffer.alloc(0);
  const messages = [];
  socket.on("data", (data) => {
    buffer = Buffer.concat([buffer, data]);
    while (buffer.length >= 4 && buffer.length >= 4 + buffer.readUInt32BE(0)) {
      const length = buffer.readUInt32BE(0);
      messages.push(buffer.subarray(4, 4 + length));
      buffer = buffer.subarray(4 + length);
    }
  });
  const send = (header, body = Buffer.alloc(0)) => {
    const length = Buffer.alloc(4);
    length.writeUInt32BE(10 + body.length);
    socket.write(Buffer.concat([length, Buffer.from(header), body]));
  };
  return new Promise((resolve) => socket.on("connect", () => resolve({ socket, messages, send })));
}

async function badMessages(port) {
  // The host's connection before may still be ending at the station: select until it is free.
  let raw;
  for (let attempt = 0; ; ++attempt) {
    raw = await rawConnection(port);
    raw.send([0xff, 0xff, 0, 0, 0, 1, 0, 0, 0, 1]);  // Select.req
    const selected = await waitFor(raw.messages, (m) => m[5] === 2, "Select.rsp");
    if (selected[3] === 0) break;
    raw.socket.destroy();
    check(attempt < 50, "the select is not accepted (status " + selected[3] + ")");
    await new Promise((resolve) => setTimeout(resolve, 100));
  }
  const other = await rawConnection(port);
  other.send([0xff, 0xff, 0, 0, 0, 1, 0, 0, 0, 7]);
  const refused = await waitFor(other.messages, (m) => m[5] === 2, "the second Select.rsp");
  check(refused[3] === 3, "a second connection is not refused as exhausted");
  other.socket.destroy();
  const s9 = (f) => (m) => m[5] === 0 && (m[2] & 0x7f) === 9 && m[3] === f;
  raw.send([0, 0, 0x80 | 1, 13, 0, 0, 0, 0, 0, 2], Buffer.from([0x01, 0x00]));  // S1F13 W <L>
  await waitFor(raw.messages, (m) => m[5] === 0 && m[2] === 1 && m[3] === 14, "S1F14");
  raw.send([0, 0, 0x80 | 99, 1, 0, 0, 0, 0, 0, 3]);
  await waitFor(raw.messages, s9(3), "S9F3 for stream 99");
  raw.send([0, 0, 0x80 | 1, 99, 0, 0, 0, 0, 0, 4]);
  await waitFor(raw.messages, s9(5), "S9F5 for S1F99");
  raw.send([0, 0, 0x80 | 1, 3, 0, 0, 0, 0, 0, 5], Buffer.from([0x01, 0x05, 0xa9]));
  const s9f7 = await waitFor(raw.messages, s9(7), "S9F7 for a cut body");
  check(s9f7.subarray(10).subarray(2, 12).readUInt32BE(6) === 5, "S9F7's MHEAD is not the message's");
  raw.send([0, 7, 0x80 | 1, 1, 0, 0, 0, 0, 0, 6]);
  await waitFor(raw.messages, s9(1), "S9F1 for device id 7");
  raw.send([0xff, 0xff, 0, 0, 0, 5, 0, 0, 0, 8]);  // Linktest.req: the link is still up
  await waitFor(raw.messages, (m) => m[5] === 6, "Linktest.rsp after the bad messages");
  raw.send([0xff, 0xff, 0, 0, 0, 9, 0, 0, 0, 9]);  // Separate.req
  raw.socket.destroy();
}

async function main() {
  fs.rmSync(work, { recursive: true, force: true });
  fs.mkdirSync(work, { recursive: true });
  const handler = await startUntil(handlerCommand, ["--port", "0", "--sites", "4", "--parts",
                                                    "400", "--jam-after", "3", "--index", "5"],
                                   /listening on .*:(\d+)\r?\n/, "the simulated handler");
  handler.child.stdout.resume();
  // A station with accounts: lots run released programs only.
  const accounts = path.join(work, "accounts.json");
  await runToEnd(stationCommand, ["users", "add", "emil", "--role", "engineer", "--accounts",
                                  accounts, "--audit", path.join(work, "datalog", "audit.jsonl")],
                 "emil's long password\n", "ate-station users add");
  const station = await startUntil(stationCommand, [
      "--projects", projects, "--datalogs", path.join(work, "datalog"),
      "--accounts", path.join(work, "accounts.json"), "--listen", "127.0.0.1:0",
      "--handler", "127.0.0.1:" + handler.found[1], "--gem", "127.0.0.1:0",
      "--gem-control", "remote"],
      /(http:\/\/127\.0\.0\.1:\d+\/)[\s\S]*listening for the host on 127\.0\.0\.1:(\d+)/,
      "the station");
  station.child.stdout.resume();
  const port = Number(station.found[2]);
  try {
    const login = await api(station.found[1], "login", { user: "emil",
                                                         password: "emil's long password" });
    check(login.ok, "the engineer can't log in: " + login.status);
    const release = await api(station.found[1], "releases", {
      name: "PMIC", revision: "A", project: "pmic", flow: "pmic_flow.json",
      settings: ["lot_4_sites.json"] });
    check(release.ok, "the release is refused: " + (await release.text()));
    await hostSession(port, station.found[1]);
    await badMessages(port);
    // The host's reports outlive the station.
    const kept = JSON.parse(fs.readFileSync(path.join(work, "gem.json"), "utf8"));
    check(kept.reports["2"] && kept.reports["2"].length === 3, "gem.json lacks report 2");
    const audit = fs.readFileSync(path.join(work, "datalog", "audit.jsonl"), "utf8");
    check(audit.includes("gem-host") && audit.includes("remote command START"),
          "the audit trail lacks the host's START");
    console.log("gem test: passed");
  } finally {
    station.child.kill("SIGTERM");
    handler.child.kill("SIGTERM");
  }
}

main().then(() => process.exit(0), (error) => {
  console.error("gem test: " + error.message);
  process.exit(1);
});
