// The page's live wafer map, drawn on a canvas: the lot's current wafer (or an earlier one picked from the list),
// each die a cell coloured by its last hard bin (good bins green, each failing bin a colour of
// its own, with a legend), the dies of the touchdown in progress outlined, and X,Y, site, part
// id and bin of the die under the pointer, and the outliers of the lot's latest screening outlined
// in dashes, with their rule. The wafer's parts come from GET /api/lot/wafer, a
// slice at a time as the lot's events say there are more.
"use strict";

const FAILING_COLOURS = ["#d7263d", "#f49d37", "#7b2cbf", "#1f77b4", "#8c564b", "#e377c2",
  "#17becf", "#bcbd22", "#ff6f91", "#5f6c7b", "#3d5a80", "#c44536", "#9c6644", "#2a9d8f",
  "#6d597a"];
const GOOD_COLOUR = "#2e9d48";

const waferParts = new Map();  // wafer id -> { parts: [[x, y, site, bin, passed, partId]], next }
let shownWafer = null;         // the wafer on the map
let pickedWafer = null;        // one the operator picked; null follows the lot's current wafer
let testingDies = [];
let outlierDies = new Map();  // wafer id -> [[x, y, rule]], from the lot's latest screening
const OUTLIER_COLOUR = "#d100d1";

function waferEntry(id) {
  if (!waferParts.has(id)) waferParts.set(id, { parts: [], next: 0, wanted: 0, loading: false });
  return waferParts.get(id);
}

// Fetches what the page doesn't have yet of wafer id's parts, redrawing the map as they come if
// the wafer is shown.
async function fetchWafer(id) {
  const entry = waferEntry(id);
  if (entry.loading) return;
  entry.loading = true;
  try {
    while (entry.next < entry.wanted) {
      // A request that doesn't come back in time is asked again with the lot's next event.
      const response = await fetch("/api/lot/wafer?id=" + encodeURIComponent(id) + "&from=" +
                                   entry.next, { signal: AbortSignal.timeout(5000) });
      if (!response.ok) break;
      const body = await response.json();
      entry.parts.push(...body.parts);
      entry.next = body.next;
      if (body.parts.length === 0) break;
      // Drawn slice by slice: while the wafer is tested, more parts keep coming.
      if (id === shownWafer) drawShownWafer();
    }
  } catch (error) {
    document.getElementById("wafer-tip").textContent = "cannot read wafer " + id + ": " +
      error.message;
  } finally {
    entry.loading = false;
  }
  if (id === shownWafer) drawShownWafer();
}

// Each die once, with its last part.
function finalDies(parts) {
  const dies = new Map();
  for (const part of parts) dies.set(part[0] + "," + part[1], part);
  return [...dies.values()];
}

// What the map shows now: where each die is, for the pointer.
let mapLayout = { minX: 0, minY: 0, cell: 1, dies: new Map(), outliers: new Map() };

// Draws dies ([x, y, site, bin, passed, partId]) on the map's canvas, outlining those in testing
// ([{x, y}]) and the outliers ([[x, y, rule]]) in dashes; the legend lists each bin with its
// dies, and the outliers per rule. Returns how long it took, in ms.
function drawWaferMap(dies, testing, outliers = []) {
  const started = performance.now();
  const canvas = document.getElementById("wafer-map");
  const legend = document.getElementById("wafer-legend");
  let minX = Infinity, maxX = -Infinity, minY = Infinity, maxY = -Infinity;
  for (const die of dies) {
    minX = Math.min(minX, die[0]); maxX = Math.max(maxX, die[0]);
    minY = Math.min(minY, die[1]); maxY = Math.max(maxY, die[1]);
  }
  for (const point of testing) {
    minX = Math.min(minX, point.x); maxX = Math.max(maxX, point.x);
    minY = Math.min(minY, point.y); maxY = Math.max(maxY, point.y);
  }
  if (minX === Infinity) {
    canvas.width = canvas.height = 0;
    canvas.dataset.dies = "0";
    legend.replaceChildren();
    mapLayout = { minX: 0, minY: 0, cell: 1, dies: new Map(), outliers: new Map() };
    return performance.now() - started;
  }
  const columns = maxX - minX + 1, rows = maxY - minY + 1;
  const cell = Math.max(2, Math.min(24, Math.floor(560 / Math.max(columns, rows))));
  // Bins in number order; failing ones take the palette's colours in that order.
  const bins = new Map();
  for (const die of dies) {
    let bin = bins.get(die[3]);
    if (!bin) {
      bin = { bin: die[3], good: die[4], count: 0, dies: [] };
      bins.set(die[3], bin);
    }
    bin.count += 1;
    bin.dies.push(die);
  }
  const ordered = [...bins.values()].sort((a, b) => a.bin - b.bin);
  let failing = 0;
  for (const bin of ordered) {
    bin.colour = bin.good ? GOOD_COLOUR : FAILING_COLOURS[failing++ % FAILING_COLOURS.length];
  }
  // Sharp on screens with more than one pixel to the CSS pixel.
  const ratio = window.devicePixelRatio || 1;
  canvas.style.width = columns * cell + "px";
  canvas.style.height = rows * cell + "px";
  canvas.width = Math.round(columns * cell * ratio);
  canvas.height = Math.round(rows * cell * ratio);
  const context = canvas.getContext("2d");
  context.setTransform(ratio, 0, 0, ratio, 0, 0);
  const gap = cell >= 6 ? 1 : 0;
  const where = new Map();
  for (const bin of ordered) {
    context.fillStyle = bin.colour;
    for (const die of bin.dies) {
      context.fillRect((die[0] - minX) * cell, (die[1] - minY) * cell, cell - gap, cell - gap);
      where.set(die[0] + "," + die[1], die);
    }
  }
  context.strokeStyle = "#111";
  context.lineWidth = 2;
  for (const point of testing) {
    context.strokeRect((point.x - minX) * cell + 1, (point.y - minY) * cell + 1,
                       Math.max(1, cell - 2), Math.max(1, cell - 2));
  }
  const rules = new Map();
  const outlined = new Map();
  context.strokeStyle = OUTLIER_COLOUR;
  context.setLineDash([Math.max(1, cell / 4), Math.max(1, cell / 8)]);
  for (const [x, y, rule] of outliers) {
    context.strokeRect((x - minX) * cell + 1, (y - minY) * cell + 1, Math.max(1, cell - 2),
                       Math.max(1, cell - 2));
    rules.set(rule, (rules.get(rule) || 0) + 1);
    outlined.set(x + "," + y, rule);
  }
  context.setLineDash([]);
  mapLayout = { minX, minY, cell, dies: where, outliers: outlined };
  canvas.dataset.dies = String(dies.length);
  canvas.dataset.outliers = String(outliers.length);
  legend.replaceChildren(...ordered.map((bin) => {
    const item = document.createElement("li");
    const swatch = document.createElement("span");
    swatch.className = "swatch";
    swatch.style.background = bin.colour;
    item.append(swatch, "bin " + bin.bin + ": " + bin.count + (bin.good ? " good" : " failing"));
    return item;
  }), ...[...rules].map(([rule, count]) => {
    const item = document.createElement("li");
    const swatch = document.createElement("span");
    swatch.className = "swatch outlier";
    swatch.style.borderColor = OUTLIER_COLOUR;
    item.append(swatch, "outlier (" + rule + "): " + count);
    return item;
  }));
  return performance.now() - started;
}

// The die drawn at a point of the page, if any.
function dieAt(clientX, clientY) {
  const box = document.getElementById("wafer-map").getBoundingClientRect();
  const x = Math.floor((clientX - box.left) / mapLayout.cell) + mapLayout.minX;
  const y = Math.floor((clientY - box.top) / mapLayout.cell) + mapLayout.minY;
  return mapLayout.dies.get(x + "," + y);
}

// Where on the page the die at x, y is drawn (its cell's middle), for tests and tools.
function diePoint(x, y) {
  const box = document.getElementById("wafer-map").getBoundingClientRect();
  return { x: box.left + (x - mapLayout.minX + 0.5) * mapLayout.cell,
           y: box.top + (y - mapLayout.minY + 0.5) * mapLayout.cell };
}

function drawShownWafer() {
  const entry = waferEntry(shownWafer);
  const current = pickedWafer === null;
  drawWaferMap(finalDies(entry.parts), current ? testingDies : [],
               outlierDies.get(shownWafer) || []);
}

function showWafers(lot) {
  const view = document.getElementById("wafer-view");
  const figures = lot.figures || {};
  const wafers = figures.wafers || [];
  view.hidden = wafers.length === 0;
  if (wafers.length === 0) return;
  const select = document.getElementById("wafer-select");
  const ids = wafers.map((w) => w.id);
  if ([...select.options].map((o) => o.value).join("\n") !== ids.join("\n")) {
    select.replaceChildren(...ids.map((id) => new Option(id, id)));
  }
  if (pickedWafer !== null && !ids.includes(pickedWafer)) pickedWafer = null;
  shownWafer = pickedWafer ?? (figures.wafer || ids[ids.length - 1]);
  select.value = shownWafer;
  testingDies = figures.testingDies || [];
  const screened = lot.lot && lot.lot.pat && lot.lot.pat.screened;
  outlierDies = new Map(Object.entries((screened && screened.dies) || {}));
  const wafer = wafers.find((w) => w.id === shownWafer);
  document.getElementById("wafer-figures").textContent = wafer.dies + " dies, " + wafer.good +
    " good (" + wafer.yield.toFixed(1) + " %), " + wafer.parts + " parts tested, " +
    wafer.retests + " retests" + (wafer.ended ? "; ended" : "");
  for (const each of wafers) waferEntry(each.id).wanted = each.parts;
  const entry = waferEntry(shownWafer);
  if (entry.next < entry.wanted) {
    fetchWafer(shownWafer);
  } else {
    drawShownWafer();
  }
}

document.getElementById("wafer-select").addEventListener("change", (event) => {
  pickedWafer = event.target.value;
  shownWafer = pickedWafer;
  drawShownWafer();
  fetchWafer(shownWafer);
});

document.getElementById("wafer-map").addEventListener("mousemove", (event) => {
  const die = dieAt(event.clientX, event.clientY);
  document.getElementById("wafer-tip").textContent = die
    ? "X " + die[0] + ", Y " + die[1] + ": site " + die[2] + ", part " + die[5] + ", bin " + die[3] +
      (mapLayout.outliers && mapLayout.outliers.has(die[0] + "," + die[1])
        ? ", outlier (" + mapLayout.outliers.get(die[0] + "," + die[1]) + ")" : "")
    : "\u00a0";
});

window.onLotShown = showWafers;
window.drawWaferMap = drawWaferMap;
window.waferMapDies = () => [...mapLayout.dies.values()];
window.waferMapOutliers = () => [...mapLayout.outliers];
window.waferDiePoint = diePoint;
