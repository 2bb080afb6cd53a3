// The page's production view: starts, pauses, resumes and ends a lot, and shows what GET
// /api/lot tells, as the event stream's "lot" events bring it: the lot's state, the handler's,
// the figures per site and per bin, and the alarms; and the delivery spool's "delivery" events. Uses station.js's helpers ($, cell, post).
"use strict";

function lotRequest() {
  const number = (id) => Number($(id).value || 0);
  const guards = {};
  if (number("guard-fails") > 0) guards.siteFailsInRow = number("guard-fails");
  if (number("guard-site-after") > 0) {
    guards.siteYield = { percent: number("guard-site-percent"), after: number("guard-site-after") };
  }
  if (number("guard-lot-after") > 0) {
    guards.lotYield = { percent: number("guard-lot-percent"), after: number("guard-lot-after") };
  }
  // With accounts, a lot names a release, and the operator is whoever is logged in.
  const release = window.lotByRelease && window.lotByRelease()
    ? { release: $("lot-release").value.split("@")[0],
        revision: $("lot-release").value.split("@").slice(1).join("@"),
        setting: $("lot-setting").value }
    : { project: $("project").value, flow: $("flow").value, setting: $("setting").value,
        operator: $("lot-operator").value };
  return {
    ...release,
    lotId: $("lot-id").value,
    sublotId: $("lot-sublot").value,
    partType: $("lot-part-type").value,
    testCode: $("lot-test-code").value,
    temperature: $("lot-temperature").value,
    retest: $("lot-retest").checked,
    ...($("lot-pat").checked
      ? { pat: $("lot-pat-limits").value ? { limits: $("lot-pat-limits").value } : {} } : {}),
    guards,
  };
}

function showLot(lot) {
  const state = lot.state;
  const label = $("lot-state");
  label.textContent = state === "idle" ? "no lot" : "lot " + lot.lot.lotId + ": " + state +
    (state === "paused" && lot.pauseReason ? " (" + lot.pauseReason + ")" : "") +
    (state === "ended" && lot.endReason ? " (" + lot.endReason + ")" : "");
  label.className = "phase " + (state === "running" ? "running" : state === "paused" ? "stopping"
    : state === "ended" ? "ready" : "");
  // A lot the station took up again by itself after it was restarted (a crash, a reboot).
  const restarts = (lot.lot && lot.lot.resumedAfterRestart) || [];
  $("lot-resumed").hidden = restarts.length === 0 || state === "idle";
  $("lot-resumed").textContent = restarts.length
    ? "resumed after a restart at " + restarts[restarts.length - 1] +
      (restarts.length > 1 ? " (" + restarts.length + " restarts)" : "")
    : "";
  const handler = $("handler-state");
  handler.textContent = "handler: " + lot.handler.state;
  handler.className = "phase " + (lot.handler.state === "alarm" || lot.handler.state ===
    "disconnected" ? "ended" : lot.handler.state === "testing" ? "running"
    : lot.handler.state.startsWith("SOT held") ? "stopping" : "ready");
  const active = state === "running" || state === "paused";
  $("lot-start").disabled = active || !lot.handler.configured;
  $("lot-pause").disabled = state !== "running";
  $("lot-resume").disabled = state !== "paused";
  $("lot-end").disabled = !active;
  // Engineering commands wait while a lot runs.
  document.body.classList.toggle("in-lot", active);

  const f = lot.figures;
  $("lot-figures").textContent = f
    ? f.parts + " parts, " + f.good + " good, yield " + f.yield.toFixed(1) + " %, " +
      Math.round(f.unitsPerHour) + " units/h, test " + f.testTimeMs.toFixed(0) + " ms, index " +
      f.indexTimeMs.toFixed(0) + " ms" + (lot.lot.datalogs.length
        ? "; datalog " + lot.lot.datalogs[lot.lot.datalogs.length - 1] : "")
    : "";
  const sites = $("lot-sites").tBodies[0];
  sites.replaceChildren();
  for (const site of (f && f.sites) || []) {
    const row = sites.insertRow();
    cell(row, site.site, "num");
    cell(row, site.device);
    cell(row, site.parts, "num");
    cell(row, site.good, "num");
    cell(row, site.yield.toFixed(1) + " %", "num");
  }
  const bins = $("lot-bins").tBodies[0];
  bins.replaceChildren();
  const most = Math.max(1, ...((f && f.bins) || []).map((bin) => bin.count));
  for (const bin of (f && f.bins) || []) {
    const row = bins.insertRow();
    cell(row, bin.bin, "num");
    cell(row, bin.count, "num");
    const bar = document.createElement("div");
    bar.className = "bar" + (bin.bin === 1 ? "" : " fail");
    bar.style.width = (100 * bin.count / most) + "%";
    row.insertCell().appendChild(bar);
  }
  $("lot-report").hidden = !(lot.lot && lot.lot.report);
  // The lot's outlier screening: after each wafer and at the lot's end, per rule.
  const pat = lot.lot && lot.lot.pat;
  $("lot-pat-result").hidden = !pat || state === "idle";
  if (pat) {
    const screened = pat.screened;
    const rules = screened ? Object.entries(screened.outliers).filter(([, n]) => n > 0) : [];
    const total = rules.reduce((sum, [, n]) => sum + n, 0);
    $("lot-pat-result").textContent = !screened
      ? "outlier screening: at each wafer's end and the lot's"
      : "outlier screening " + screened.when + ": " + total + " outliers among " +
        screened.parts + " good parts" +
        (rules.length ? " (" + rules.map(([rule, n]) => rule + " " + n).join(", ") + ")" : "");
  }
  if (window.onLotShown) window.onLotShown(lot);
  const alarms = $("lot-alarms");
  alarms.replaceChildren(...lot.alarms.slice(-20).reverse().map((alarm) => {
    const item = document.createElement("li");
    item.textContent = alarm.time + "  " + alarm.text;
    return item;
  }));
}

// The spool of finished lots' files on their way to the destination (--deliver).
function showDelivery(delivery) {
  const view = $("delivery");
  view.hidden = !delivery.configured;
  if (!delivery.configured) return;
  const name = (path) => path.split(/[\\/]/).pop();
  const waiting = delivery.waiting.map(name);
  const delivered = delivery.delivered.map(name);
  view.textContent = "Delivery to " + delivery.destination + ": " +
    (waiting.length ? waiting.length + " waiting (" + waiting.join(", ") + ")" : "nothing waiting") +
    (delivered.length ? "; last delivered " + delivered[delivered.length - 1] : "") +
    (delivery.lastError ? "; last error: " + delivery.lastError : "");
  view.classList.toggle("failing", Boolean(delivery.lastError));
}

window.onStationEvents = (events) => {
  events.addEventListener("lot", (event) => showLot(JSON.parse(event.data)));
  events.addEventListener("delivery", (event) => showDelivery(JSON.parse(event.data)));
};

$("lot-start").addEventListener("click", () => post("lot/start", lotRequest()));
$("lot-pause").addEventListener("click", () => post("lot/pause"));
$("lot-resume").addEventListener("click", () => post("lot/resume"));
$("lot-end").addEventListener("click", () => post("lot/end"));
$("lot-clear-alarms").addEventListener("click", () => post("lot/alarms/clear"));

// The factory host's link (SECS/GEM, --gem): its state, the operator's switch, the host's text
// and the operator's answer. Polled while the station has one.
function showGem(state) {
  $("gem").hidden = !state.configured;
  if (!state.configured) return;
  $("gem-state").textContent = "Factory host: " +
    (state.selected ? (state.communicating ? "communicating" : "connected") : "not connected") +
    ", " + state.control + ", " + state.process + (state.ppid ? " (" + state.ppid + ")" : "");
  $("gem-state").classList.toggle("failing", !state.selected);
  $("gem-terminal").hidden = !state.terminalText;
  $("gem-text").textContent = state.terminalText;
}

async function pollGem() {
  try {
    const response = await fetch("/api/gem");
    if (!response.ok) {
      setTimeout(pollGem, 3000);  // not logged in yet
      return;
    }
    const state = await response.json();
    showGem(state);
    if (state.configured) setTimeout(pollGem, 1000);
  } catch (error) {
    setTimeout(pollGem, 5000);
  }
}

$("gem-offline").addEventListener("click", () => post("gem/control", { online: false }));
$("gem-local").addEventListener("click", () => post("gem/control", { online: true, remote: false }));
$("gem-remote").addEventListener("click", () => post("gem/control", { online: true, remote: true }));
$("gem-send").addEventListener("click", () => {
  post("gem/answer", { text: $("gem-answer").value });
  $("gem-answer").value = "";
});
pollGem();
