"use strict";
// Live view of the ground station: polls the station's JSON and draws it.

const LOG_POLL_MS = 500;
const PHOTO_POLL_MS = 1000;
const TELEMETRY_POLL_MS = 1000;
const MAX_LOG_ROWS = 5000;
const COLOURS = ["#f5c16c", "#6cb6ff", "#7ee787", "#ff7b72", "#d2a8ff"];

// Which telemetry columns go on which plot; a plot appears once one of its
// columns does, so the battery plot shows only when the simulator writes it.
const PLOTS = [
  { id: "yaw", title: "Yaw (deg)", match: (c) => c === "yaw_deg" },
  { id: "rate", title: "Rate (deg/s)", match: (c) => c === "rate_dps" },
  { id: "wheel", title: "Wheel speed (rpm)", match: (c) => /^wheel.*rpm$/.test(c) },
  { id: "lamp", title: "Angle to the lamp (deg)", match: (c) => c === "lamp_angle_deg" },
  { id: "battery", title: "Battery charge", match: (c) => /(^|_)(battery|accumulator|charge)/i.test(c) },
];

const $ = (id) => document.getElementById(id);
let failures = 0;

async function getJSON(url) {
  const r = await fetch(url, { cache: "no-store" });
  if (!r.ok) throw new Error(url + ": " + r.status);
  return r.json();
}

function status(ok) {
  failures = ok ? 0 : failures + 1;
  const el = $("status");
  el.classList.toggle("down", failures > 1);
  el.textContent = failures > 1 ? "station not answering" : "live, " + new Date().toLocaleTimeString();
}

function poll(fn, ms) {
  const step = async () => {
    try {
      await fn();
      status(true);
    } catch (e) {
      status(false);
    }
    setTimeout(step, ms);
  };
  step();
}

// --- log ---
let logNext = 0;

async function pollLog() {
  const list = $("log");
  // Ask again at once while the station has more than one answer's worth.
  for (let round = 0; round < 20; round++) {
    const data = await getJSON("/api/log?since=" + logNext);
    if (!data.lines.length) break;
    const atBottom = list.scrollTop + list.clientHeight >= list.scrollHeight - 4;
    const frag = document.createDocumentFragment();
    for (const line of data.lines) {
      const li = document.createElement("li");
      li.dataset.seq = line.seq;
      const time = document.createElement("span");
      time.className = "time";
      time.textContent = line.time;
      const text = document.createElement("span");
      text.className = "text";
      text.textContent = line.text;
      li.append(time, text);
      frag.append(li);
    }
    list.append(frag);
    while (list.childElementCount > MAX_LOG_ROWS) list.firstElementChild.remove();
    if (atBottom) list.scrollTop = list.scrollHeight;
    logNext = data.next;
    $("log-count").textContent = String(logNext);
  }
}

// --- photos ---
const shownPhotos = new Set();

async function pollPhotos() {
  const data = await getJSON("/api/photos");
  const list = $("photos");
  for (const p of data.photos) {
    const key = p.name + "@" + p.mtime;
    if (shownPhotos.has(key)) continue;
    shownPhotos.add(key);
    const old = list.querySelector('li[data-name="' + CSS.escape(p.name) + '"]');
    if (old) old.remove();
    const li = document.createElement("li");
    li.dataset.name = p.name;
    const a = document.createElement("a");
    a.href = "/photos/" + encodeURIComponent(p.name);
    a.target = "_blank";
    const img = document.createElement("img");
    img.src = "/thumbs/" + encodeURIComponent(p.name) + "?" + p.mtime;
    img.alt = p.name;
    a.append(img);
    const caption = document.createElement("div");
    caption.textContent = p.name;
    li.append(a, caption);
    list.prepend(li);
  }
  $("photo-count").textContent = String(data.photos.length);
  $("no-photos").hidden = data.photos.length > 0;
  if (data.photos.length) {
    const last = data.photos[data.photos.length - 1];
    const src = "/photos/" + encodeURIComponent(last.name) + "?" + last.mtime;
    if ($("latest-img").getAttribute("src") !== src) {
      $("latest-img").src = src;
      $("latest-link").href = "/photos/" + encodeURIComponent(last.name);
      $("latest-name").textContent = last.name;
    }
    $("latest").hidden = false;
  }
}

// --- telemetry ---
const tele = { generation: null, next: 0, columns: [], rows: [] };
const plots = new Map();

async function pollTelemetry() {
  for (let round = 0; round < 20; round++) {
    const data = await getJSON("/api/telemetry?since=" + tele.next);
    if (data.generation !== tele.generation) {
      // A new run of the simulator wrote a new file: start the plots over.
      const fresh = tele.generation !== null;
      tele.generation = data.generation;
      tele.next = 0;
      tele.rows = [];
      if (fresh) continue;
    }
    tele.columns = data.columns;
    for (const row of data.rows) tele.rows.push(row);
    tele.next = data.next;
    if (data.rows.length < 5000) break;
  }
  $("telemetry-state").textContent = tele.rows.length
    ? tele.rows.length + " samples"
    : "no telemetry";
  drawPlots();
}

function plotFor(def) {
  let plot = plots.get(def.id);
  if (!plot) {
    const box = document.createElement("div");
    box.className = "plot";
    box.id = "plot-" + def.id;
    const h = document.createElement("h3");
    h.textContent = def.title;
    const canvas = document.createElement("canvas");
    box.append(h, canvas);
    $("plots").append(box);
    plot = { canvas, title: h };
    plots.set(def.id, plot);
  }
  return plot;
}

function drawPlots() {
  const tIndex = tele.columns.indexOf("t");
  if (tIndex < 0) return;
  for (const def of PLOTS) {
    const series = tele.columns.map((c, i) => (def.match(c) ? i : -1)).filter((i) => i >= 0);
    if (!series.length) continue;
    const plot = plotFor(def);
    plot.title.textContent = def.title + ": " + series.map((i) => tele.columns[i]).join(", ");
    drawPlot(plot.canvas, tIndex, series);
  }
}

function niceRange(lo, hi) {
  if (!isFinite(lo)) return [0, 1];
  if (hi - lo < 1e-9) return [lo - 1, hi + 1];
  const pad = (hi - lo) * 0.05;
  return [lo - pad, hi + pad];
}

function drawPlot(canvas, tIndex, series) {
  const ratio = window.devicePixelRatio || 1;
  const w = Math.max(100, Math.round(canvas.clientWidth * ratio));
  const h = Math.max(60, Math.round(canvas.clientHeight * ratio));
  if (canvas.width !== w || canvas.height !== h) {
    canvas.width = w;
    canvas.height = h;
  }
  const ctx = canvas.getContext("2d");
  ctx.setTransform(ratio, 0, 0, ratio, 0, 0);
  const cw = w / ratio, ch = h / ratio;
  const left = 48, right = 8, top = 8, bottom = 20;
  ctx.clearRect(0, 0, cw, ch);
  const rows = tele.rows;
  if (!rows.length) return;

  let tMin = Infinity, tMax = -Infinity, yMin = Infinity, yMax = -Infinity;
  for (const r of rows) {
    const t = r[tIndex];
    if (t === null) continue;
    tMin = Math.min(tMin, t);
    tMax = Math.max(tMax, t);
    for (const i of series) {
      const v = r[i];
      if (v !== null && v !== undefined) {
        yMin = Math.min(yMin, v);
        yMax = Math.max(yMax, v);
      }
    }
  }
  if (!(tMax > tMin)) [tMin, tMax] = niceRange(tMin, tMax);
  [yMin, yMax] = niceRange(yMin, yMax);
  const X = (t) => left + ((t - tMin) / (tMax - tMin)) * (cw - left - right);
  const Y = (v) => top + (1 - (v - yMin) / (yMax - yMin)) * (ch - top - bottom);

  ctx.strokeStyle = "#2a323a";
  ctx.fillStyle = "#8a96a2";
  ctx.font = "10px sans-serif";
  ctx.lineWidth = 1;
  for (let k = 0; k <= 4; k++) {
    const v = yMin + ((yMax - yMin) * k) / 4;
    ctx.beginPath();
    ctx.moveTo(left, Y(v));
    ctx.lineTo(cw - right, Y(v));
    ctx.stroke();
    ctx.fillText(v.toPrecision(3), 2, Y(v) + 3);
  }
  for (let k = 0; k <= 4; k++) {
    const t = tMin + ((tMax - tMin) * k) / 4;
    ctx.textAlign = k === 0 ? "left" : k === 4 ? "right" : "center";
    ctx.fillText(t.toFixed(1) + " s", X(t), ch - 5);
  }
  ctx.textAlign = "left";

  // More samples than pixels: skip evenly, it only has to look right.
  const stride = Math.max(1, Math.floor(rows.length / (cw * 2)));
  series.forEach((col, n) => {
    ctx.strokeStyle = COLOURS[n % COLOURS.length];
    ctx.lineWidth = 1.5;
    ctx.beginPath();
    let pen = false;
    for (let k = 0; k < rows.length; k += stride) {
      const t = rows[k][tIndex], v = rows[k][col];
      if (t === null || v === null || v === undefined) {
        pen = false;
        continue;
      }
      if (pen) ctx.lineTo(X(t), Y(v));
      else ctx.moveTo(X(t), Y(v));
      pen = true;
    }
    ctx.stroke();
  });
}

window.addEventListener("resize", drawPlots);
poll(pollLog, LOG_POLL_MS);
poll(pollPhotos, PHOTO_POLL_MS);
poll(pollTelemetry, TELEMETRY_POLL_MS);
