// The station's page: lists the projects, sends the operator's actions to the API, and shows
// what the event stream brings: the driver's state, its output and the datalog.
"use strict";

const KEPT_LINES = 5000;  // lines the page keeps; older ones are dropped and counted
const $ = (id) => document.getElementById(id);

let projects = [];
let droppedHere = 0;
let droppedByStation = 0;
let pending = [];

function cell(row, text, className) {
  const td = row.insertCell();
  td.textContent = text;
  if (className) td.className = className;
  return td;
}

function fillSelect(select, names) {
  const keep = select.value;
  select.replaceChildren(...names.map((name) => new Option(name, name)));
  if (names.includes(keep)) select.value = keep;
}

function projectChanged() {
  const project = projects.find((p) => p.name === $("project").value);
  fillSelect($("flow"), project ? project.flows : []);
  fillSelect($("setting"), project ? project.settings : []);
  fillSelect($("release-settings"), project ? project.settings : []);
}

async function loadProjects() {
  const response = await fetch("/api/projects");
  projects = (await response.json()).projects || [];
  fillSelect($("project"), projects.map((p) => p.name));
  projectChanged();
}

function showReply(ok, text) {
  const reply = $("reply");
  reply.textContent = text;
  reply.className = "reply " + (ok ? "ok" : "error");
}

async function post(action, body) {
  showReply(true, action + " ...");
  try {
    const response = await fetch("/api/" + action, {
      method: "POST",
      headers: { "Content-Type": "application/json" },
      body: JSON.stringify(body || {}),
    });
    const answer = await response.json();
    if (response.status === 401 && window.showLogin) window.showLogin(answer.error);
    if (response.ok) {
      showReply(true, action + ": " + (answer.reply || answer.message));
    } else {
      showReply(false, action + ": " + answer.error);
    }
  } catch (error) {
    showReply(false, action + ": the station does not answer (" + error.message + ")");
  }
}

function showState(state) {
  const phase = $("phase");
  phase.textContent = state.phase;
  phase.className = "phase " + (state.driver === "ready"
    ? (state.stopping ? "stopping" : state.runs.length ? "running" : "ready")
    : state.driver);
  $("restart").hidden = state.driver !== "ended";
  const ready = state.driver === "ready" && !state.busy;
  $("load").disabled = !ready;
  $("run").disabled = !ready || !state.project;
  $("stop").disabled = !ready || state.runs.length === 0;
  $("unload").disabled = !ready || !state.project;
  if (state.project && $("project").value !== state.project) {
    $("project").value = state.project;
    projectChanged();
  }
  droppedByStation = state.linesDropped;
  showDropped();
}

function showDropped() {
  const total = droppedHere + droppedByStation;
  $("dropped").textContent = total ? total + " older lines dropped" : "";
}

function flushLines() {
  const box = $("lines");
  const atBottom = box.scrollHeight - box.scrollTop - box.clientHeight < 40;
  const fragment = document.createDocumentFragment();
  for (const line of pending) {
    const div = document.createElement("div");
    div.className = line.kind;
    div.textContent = line.text;
    fragment.appendChild(div);
  }
  pending = [];
  box.appendChild(fragment);
  while (box.childElementCount > KEPT_LINES) {
    box.firstElementChild.remove();
    droppedHere++;
  }
  showDropped();
  if (atBottom) box.scrollTop = box.scrollHeight;
}

function addLine(line) {
  if (pending.length === 0) requestAnimationFrame(flushLines);
  pending.push(line);
  // A page that falls far behind keeps only what it can show.
  if (pending.length > KEPT_LINES) {
    droppedHere += pending.length - KEPT_LINES;
    pending.splice(0, pending.length - KEPT_LINES);
  }
}

function percent(count, total) {
  return total ? (100 * count / total).toFixed(1) : "0.0";
}

function fillBins(table, bins) {
  const body = table.tBodies[0];
  body.replaceChildren();
  const total = bins.reduce((sum, bin) => sum + bin.count, 0);
  const most = Math.max(1, ...bins.map((bin) => bin.count));
  for (const bin of bins) {
    const row = body.insertRow();
    cell(row, bin.number, "num");
    cell(row, bin.name);
    cell(row, bin.passFail, bin.passFail === "P" ? "pass" : "fail");
    cell(row, bin.count, "num");
    cell(row, percent(bin.count, total), "num");
    const bar = document.createElement("div");
    bar.className = "bar" + (bin.passFail === "P" ? "" : " fail");
    bar.style.width = (100 * bin.count / most) + "%";
    row.insertCell().appendChild(bar);
  }
}

function showDatalog(datalog) {
  $("datalog-file").textContent = datalog.file
    ? datalog.file + ", " + datalog.passes + " passes" : "no datalog yet";
  $("datalog-error").textContent = datalog.error || "";
  const yieldBody = $("yield").tBodies[0];
  yieldBody.replaceChildren();
  for (const site of [...(datalog.sites || []), ...(datalog.overall ? [datalog.overall] : [])]) {
    const row = yieldBody.insertRow();
    cell(row, site.site === undefined ? "all" : site.site);
    cell(row, site.parts, "num");
    cell(row, site.good, "num");
    cell(row, (100 * site.yield).toFixed(1) + " %", "num");
  }
  fillBins($("hard-bins"), datalog.hardBins || []);
  fillBins($("soft-bins"), datalog.softBins || []);
  const devices = $("devices").tBodies[0];
  devices.replaceChildren();
  for (const device of datalog.devices || []) {
    const row = devices.insertRow();
    cell(row, device.site);
    cell(row, device.partId);
    cell(row, partOutcome(device), device.passed ? "pass" : "fail");
  }
}

// What the last-pass table says of a device's last part: pass; the test it failed in and its
// bins; or, for a part whose testing ended before its flow did, that and why (the datalog says).
function partOutcome(device) {
  if (device.passed) return "pass";
  const bins = "bin " + device.hardBin + "/" + device.softBin;
  if (device.incomplete && device.failedTest == null) {
    return "not completed: " + (device.incompleteReason || "testing ended early") + ", " + bins;
  }
  return "fail: " + (device.failedTestName || "test " + (device.failedTest ?? "?")) + ", " + bins;
}

function listen() {
  const events = new EventSource("/api/events");
  // Other views of the page listen to the same stream.
  if (window.onStationEvents) window.onStationEvents(events);
  events.addEventListener("state", (event) => showState(JSON.parse(event.data)));
  events.addEventListener("datalog", (event) => showDatalog(JSON.parse(event.data)));
  events.addEventListener("line", (event) => addLine(JSON.parse(event.data)));
  events.addEventListener("skipped", (event) => {
    const count = JSON.parse(event.data).count;
    addLine({ kind: "station", text: "... " + count + " lines skipped to catch up ..." });
  });
  events.onerror = () => {
    $("phase").textContent = "reconnecting";
    $("phase").className = "phase starting";
  };
}

$("project").addEventListener("change", projectChanged);
$("load").addEventListener("click", () =>
  post("load", { project: $("project").value, flow: $("flow").value }));
$("run").addEventListener("click", () => post("run", { setting: $("setting").value }));
$("stop").addEventListener("click", () => post("stop"));
$("unload").addEventListener("click", () => post("unload"));
$("restart").addEventListener("click", () => post("restart"));

window.post = post;
// Once access.js knows who is logged in (and every script of the page has run, so that the other
// views have set onStationEvents).
window.startStation = () => {
  loadProjects().catch((error) => showReply(false, "cannot list the projects: " + error.message));
  listen();
};
