// The HTML view of a timeline: one page, no network. The trace-event data goes between
// kPageHead and kPageTail; the script reads it back and draws one lane per thread and the
// engine on a canvas, under a legend of its colours and marks. Mouse wheel zooms around the
// pointer, dragging pans, a double click shows everything again; hovering a slice shows its
// name, times and details. Page labels are stacked in three rows above the lanes and left
// out where none has room; flow lines are thinned to one per 6 pixels and hidden when even
// one in 40 would be more than that; a shortened engine log is shaded where it has nothing.
// Once drawn, the page writes what it drew into #summary (for people and for tests).
#pragma once

namespace timeline {

inline constexpr char kPageHead[] = R"PAGE(<!DOCTYPE html>
<html lang="en"><head><meta charset="utf-8"><title>pvgen-run timeline</title>
<style>
body{margin:0;font:12px sans-serif;background:#fafafa;color:#222}
header{padding:6px 10px;border-bottom:1px solid #ccc;background:#fff}
header b{margin-right:12px}
#view{position:relative}
canvas{display:block}
#tip{position:absolute;display:none;pointer-events:none;background:#fffbe6;border:1px solid #999;
padding:4px 6px;white-space:pre;font:11px monospace;box-shadow:1px 1px 3px #0003}
#summary{padding:4px 10px;color:#555}
#legend{padding:4px 10px;border-bottom:1px solid #ddd;background:#fff}
#legend span{display:inline-block;margin-right:14px;white-space:nowrap}
#legend i{display:inline-block;width:14px;height:10px;margin-right:4px;vertical-align:-1px}
#flownote{color:#555;margin-left:6px}
</style></head><body>
<header><b>pvgen-run timeline</b><span>wheel: zoom &middot; drag: pan &middot; double click: all
&middot; hover: details</span> <label><input type="checkbox" id="flows" checked> flow arrows</label>
<span id="flownote"></span></header>
<div id="legend"></div>
<div id="view"><canvas id="c"></canvas><div id="tip"></div></div>
<div id="summary"></div>
<script type="application/json" id="data">
)PAGE";

inline constexpr char kPageTail[] = R"PAGE(
</script>
<script>
"use strict";
const data = JSON.parse(document.getElementById("data").textContent);
const lanes = [], laneIndex = new Map(), slices = [], instants = [], flows = new Map();
const sortKey = new Map();
for (const e of data.traceEvents) {
  if (e.ph === "M" && e.name === "thread_name") {
    laneIndex.set(e.tid, lanes.length);
    lanes.push({tid: e.tid, name: e.args.name});
  } else if (e.ph === "M" && e.name === "thread_sort_index") {
    sortKey.set(e.tid, e.args.sort_index);
  }
}
lanes.sort((a, b) => (sortKey.get(a.tid) ?? 0) - (sortKey.get(b.tid) ?? 0));
lanes.forEach((l, i) => laneIndex.set(l.tid, i));
for (const e of data.traceEvents) {
  if (e.ph === "X" && laneIndex.has(e.tid)) {
    slices.push({lane: laneIndex.get(e.tid), t: e.ts, d: e.dur, name: e.name, cat: e.cat,
                 detail: (e.args && e.args.detail) || ""});
  } else if (e.ph === "i") {
    instants.push({lane: laneIndex.has(e.tid) ? laneIndex.get(e.tid) : -1, t: e.ts, name: e.name});
  } else if (e.ph === "s" || e.ph === "t" || e.ph === "f") {
    if (!flows.has(e.id)) flows.set(e.id, []);
    if (laneIndex.has(e.tid)) flows.get(e.id).push({lane: laneIndex.get(e.tid), t: e.ts});
  }
}
const colours = {submit: "#4e79a7", command: "#f28e2b", engine: "#59a14f", wait: "#bab0ac",
                 callback: "#e15759"};
// The legend: what each colour and mark stands for.
const legendItems = [
  ["submit", colours.submit, "call of a submitting thread (prepare, page start, band, stop)"],
  ["command", colours.command, "driver command (dispatcher)"],
  ["wait", colours.wait, "driver wait (worker)"],
  ["callback", colours.callback, "callback"],
  ["engine", colours.engine, "band on the engine"],
  ["page", "#7b3294", "page start / end (all lanes)"],
  ["stop", "#d7191c", "stop (mark on its thread)"],
  ["report", "#333", "completion report (mark)"],
  ["flow", "#00000066", "a band's way from submission to outcome"],
  ["log", "#0000001f", "engine log not kept (long run)"],
];
{
  const legend = document.getElementById("legend");
  for (const [cat, colour, text] of legendItems) {
    const item = document.createElement("span"), swatch = document.createElement("i");
    item.dataset.cat = cat; swatch.style.background = colour;
    item.append(swatch, text); legend.append(item);
  }
}
const logBegins = instants.find(i => i.name === "engine log kept from here");
let end = 0;
for (const s of slices) end = Math.max(end, s.t + s.d);
for (const i of instants) end = Math.max(end, i.t);
if (end <= 0) end = 1;
// Above the lanes: the time axis, then three rows for page labels.
const labelW = 170, tickH = 24, labelRows = 3, rowH = 11, axisH = tickH + labelRows * rowH,
      laneH = 30;
const canvas = document.getElementById("c"), ctx = canvas.getContext("2d");
const tip = document.getElementById("tip");
let t0 = 0, t1 = end * 1.02, width = 800;
let drawnSlices = 0, drawnLanes = new Set();
let labelBoxes = [], hiddenLabels = 0, flowsDrawn = 0, flowEvery = 0;

function x(t) { return labelW + (t - t0) / (t1 - t0) * (width - labelW); }
function tOf(px) { return t0 + (px - labelW) / (width - labelW) * (t1 - t0); }
function laneY(i) { return axisH + i * laneH; }
function fmtUs(v) {
  if (Math.abs(v) >= 1e6) return (v / 1e6).toFixed(3) + " s";
  if (Math.abs(v) >= 1e3) return (v / 1e3).toFixed(3) + " ms";
  return v.toFixed(3) + " us";
}

function draw() {
  const dpr = window.devicePixelRatio || 1;
  width = Math.max(400, document.documentElement.clientWidth);
  const height = axisH + lanes.length * laneH + 8;
  canvas.width = width * dpr; canvas.height = height * dpr;
  canvas.style.width = width + "px"; canvas.style.height = height + "px";
  ctx.setTransform(dpr, 0, 0, dpr, 0, 0);
  ctx.fillStyle = "#fff"; ctx.fillRect(0, 0, width, height);
  drawnSlices = 0; drawnLanes = new Set();
  // lanes
  lanes.forEach((l, i) => {
    ctx.fillStyle = i % 2 ? "#f3f3f3" : "#fff";
    ctx.fillRect(0, laneY(i), width, laneH);
    ctx.fillStyle = "#222"; ctx.font = "12px sans-serif"; ctx.textBaseline = "middle";
    ctx.fillText(l.name, 6, laneY(i) + laneH / 2, labelW - 10);
  });
  ctx.strokeStyle = "#999"; ctx.beginPath(); ctx.moveTo(labelW - .5, 0);
  ctx.lineTo(labelW - .5, height); ctx.stroke();
  // time axis
  const span = t1 - t0, step = Math.pow(10, Math.floor(Math.log10(span / 6)));
  const tick = span / step > 30 ? step * 5 : span / step > 12 ? step * 2 : step;
  ctx.fillStyle = "#555"; ctx.font = "10px sans-serif"; ctx.textBaseline = "top";
  for (let t = Math.ceil(t0 / tick) * tick; t <= t1; t += tick) {
    const px = x(t);
    ctx.fillRect(px, tickH - 6, 1, 6);
    ctx.fillText(fmtUs(t), px + 2, 4);
    ctx.fillStyle = "#0000000d"; ctx.fillRect(px, axisH, 1, height - axisH); ctx.fillStyle = "#555";
  }
  // slices
  ctx.save(); ctx.beginPath(); ctx.rect(labelW, 0, width - labelW, height); ctx.clip();
  for (const s of slices) {
    if (s.t > t1 || s.t + s.d < t0) continue;
    const a = x(s.t), w = Math.max(1, x(s.t + s.d) - a), y = laneY(s.lane) + 4;
    ctx.fillStyle = colours[s.cat] || "#76b7b2";
    ctx.fillRect(a, y, w, laneH - 8);
    if (w > 40) {
      ctx.fillStyle = "#fff"; ctx.font = "10px sans-serif"; ctx.textBaseline = "middle";
      ctx.fillText(s.name, a + 3, y + (laneH - 8) / 2, w - 6);
    }
    drawnSlices++; drawnLanes.add(s.lane);
  }
  // Where the engine's log begins on a long run: before it the engine lane is shaded.
  const engineLane = lanes.findIndex(l => l.name === "engine");
  if (logBegins && engineLane >= 0 && logBegins.t > t0) {
    const px = Math.min(x(logBegins.t), width);
    ctx.fillStyle = "#0000001f"; ctx.fillRect(labelW, laneY(engineLane), px - labelW, laneH);
    ctx.fillStyle = "#333"; ctx.font = "10px sans-serif"; ctx.textBaseline = "middle";
    for (const note of ["engine log not kept before this point", "log not kept"]) {
      const w = ctx.measureText(note).width;
      if (px - labelW > w + 8) {
        ctx.fillText(note, px - w - 4, laneY(engineLane) + laneH / 2);
        break;
      }
    }
  }
  // instants: page boundaries across all lanes, stops and reports on their lane. A page
  // label goes into the first of three rows where it does not touch another label, and is
  // left out (the line stays) when none has room.
  const rowEnds = new Array(labelRows).fill(-Infinity);
  const pageMarks = instants.filter(i => i.lane < 0 && i.t >= t0 && i.t <= t1)
                            .sort((a, b) => a.t - b.t);
  labelBoxes = []; hiddenLabels = 0;
  ctx.font = "10px sans-serif"; ctx.textBaseline = "bottom";
  for (const i of pageMarks) {
    const px = x(i.t);
    ctx.fillStyle = "#7b3294"; ctx.fillRect(px, tickH, 1, height - tickH);
    // Right of its line, or left of it at the right edge.
    const w = ctx.measureText(i.name).width;
    const left = px + 2 + w <= width ? px + 2 : px - 2 - w, right = left + w;
    const row = rowEnds.findIndex(e => left > e + 6);
    if (row < 0 || left < labelW) { hiddenLabels++; continue; }
    rowEnds[row] = right;
    const bottom = tickH + rowH * (row + 1);
    ctx.fillStyle = "#ffffffd0"; ctx.fillRect(left - 1, bottom - rowH, w + 2, rowH);
    ctx.fillStyle = "#7b3294"; ctx.fillText(i.name, left, bottom);
    labelBoxes.push([left, bottom - rowH, right, bottom]);
  }
  for (const i of instants) {
    if (i.t < t0 || i.t > t1 || i.lane < 0 || i === logBegins) continue;
    const px = x(i.t);
    {
      const y = laneY(i.lane) + 2;
      ctx.fillStyle = /stop/.test(i.name) ? "#d7191c" : "#333";
      ctx.beginPath(); ctx.moveTo(px - 3, y); ctx.lineTo(px + 3, y); ctx.lineTo(px, y + 5); ctx.fill();
    }
  }
  // flow arrows: at most one per 6 pixels of width (every n-th of the visible ones when
  // there are more), none when even that would take more than one in 40
  const note = document.getElementById("flownote");
  flowsDrawn = 0; flowEvery = 0; note.textContent = "";
  if (document.getElementById("flows").checked) {
    const visible = [];
    for (const steps of flows.values()) {
      if (steps.length > 1 && steps[steps.length - 1].t >= t0 && steps[0].t <= t1) visible.push(steps);
    }
    const room = Math.max(1, Math.floor((width - labelW) / 6));
    flowEvery = Math.ceil(visible.length / room);
    if (flowEvery > 40) {
      note.textContent = "(" + visible.length + " flows here: too dense to draw, zoom in)";
      flowEvery = 0;
    } else {
      if (flowEvery > 1) note.textContent = "(1 in " + flowEvery + " drawn at this zoom)";
      ctx.strokeStyle = "#00000066"; ctx.lineWidth = 1;
      for (let v = 0; v < visible.length; v += Math.max(1, flowEvery)) {
        const steps = visible[v];
        ctx.beginPath(); ctx.moveTo(x(steps[0].t), laneY(steps[0].lane) + laneH / 2);
        for (let k = 1; k < steps.length; k++) {
          ctx.lineTo(x(steps[k].t), laneY(steps[k].lane) + laneH / 2);
        }
        ctx.stroke(); flowsDrawn++;
      }
    }
  }
  ctx.restore();
  const summary = document.getElementById("summary");
  summary.textContent = "lanes " + lanes.length + ", slices " + slices.length + ", drawn " +
      drawnSlices + " in " + drawnLanes.size + " lanes, flows " + flows.size + ", span " +
      fmtUs(end);
  summary.dataset.lanes = lanes.length;
  summary.dataset.drawn = drawnSlices;
  summary.dataset.drawnLanes = drawnLanes.size;
  summary.dataset.laneNames = lanes.map(l => l.name).join("|");
  // The page labels as drawn (left, top, right, bottom in pixels), those left out, the flows
  // drawn, and where the engine's log begins (microseconds, when it is shortened).
  summary.dataset.labelBoxes = labelBoxes.map(b => b.map(v => v.toFixed(1)).join(",")).join(";");
  summary.dataset.labelsHidden = hiddenLabels;
  summary.dataset.flowsDrawn = flowsDrawn;
  summary.dataset.logBegins = logBegins ? logBegins.t : "";
}

function sliceAt(px, py) {
  const lane = Math.floor((py - axisH) / laneH);
  if (lane < 0 || lane >= lanes.length || px < labelW) return null;
  const t = tOf(px), slack = 3 * (t1 - t0) / (width - labelW);
  let best = null;
  for (const s of slices) {
    if (s.lane === lane && s.t - slack <= t && t <= s.t + s.d + slack &&
        (best === null || s.d < best.d)) best = s;
  }
  return best;
}

let drag = null;
canvas.addEventListener("wheel", ev => {
  ev.preventDefault();
  const t = tOf(ev.offsetX), f = ev.deltaY > 0 ? 1.25 : 0.8;
  t0 = t - (t - t0) * f; t1 = t + (t1 - t) * f;
  draw();
}, {passive: false});
canvas.addEventListener("mousedown", ev => { drag = {x: ev.offsetX, t0, t1}; });
window.addEventListener("mouseup", () => { drag = null; });
canvas.addEventListener("dblclick", () => { t0 = 0; t1 = end * 1.02; draw(); });
canvas.addEventListener("mousemove", ev => {
  if (drag) {
    const dt = (ev.offsetX - drag.x) / (width - labelW) * (drag.t1 - drag.t0);
    t0 = drag.t0 - dt; t1 = drag.t1 - dt; draw();
  }
  const s = sliceAt(ev.offsetX, ev.offsetY);
  if (!s) { tip.style.display = "none"; return; }
  tip.textContent = s.name + "\n" + lanes[s.lane].name + " / " + s.cat + "\nstart " + fmtUs(s.t) +
      "\nduration " + fmtUs(s.d) + (s.detail ? "\n" + s.detail : "");
  tip.style.left = (ev.offsetX + 12) + "px"; tip.style.top = (ev.offsetY + 12) + "px";
  tip.style.display = "block";
});
canvas.addEventListener("mouseleave", () => { tip.style.display = "none"; });
document.getElementById("flows").addEventListener("change", draw);
window.addEventListener("resize", draw);
draw();
</script>
</body></html>
)PAGE";

}  // namespace timeline
