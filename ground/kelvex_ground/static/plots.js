"use strict";
// Telemetry plots (uPlot) on the satellite's page: every plot on one time
// axis with the log, and each log line marked where it arrived.

const COLOURS = ["#f5c16c", "#6cb6ff", "#7ee787", "#ff7b72", "#d2a8ff"];
const PLOT_HEIGHT = 170;
// Log marks closer than this (CSS pixels, on average) turn into a strip.
const MARK_SPACING = 6;
// Tick steps of the time axis in seconds, so that ticks fall on round times.
const TIME_STEPS = [0.01, 0.02, 0.05, 0.1, 0.2, 0.5, 1, 2, 5, 10, 15, 30, 60, 120, 300, 600, 900,
                    1800, 3600, 7200, 10800, 21600, 43200, 86400];

// Which telemetry columns go on which plot; a plot appears once one of its
// columns does, so the battery plot shows only when the simulator writes it.
const PLOTS = [
  { id: "yaw", title: "Yaw", unit: "deg", match: (c) => c === "yaw_deg" },
  { id: "rate", title: "Rate", unit: "deg/s", match: (c) => c === "rate_dps" },
  { id: "wheel", title: "Wheel speed", unit: "rpm", match: (c) => /^wheel.*rpm$/.test(c) },
  { id: "lamp", title: "Angle to the lamp", unit: "deg", match: (c) => c === "lamp_angle_deg" },
  { id: "battery", title: "Battery charge", unit: "", match: (c) => /(^|_)(battery|accumulator|charge)/i.test(c) },
];

// Labels of the time axis: as precise as the tick step needs, never the
// same text twice in a row.
function timeLabels(values, step, wallClock) {
  const decimals = step >= 1 ? 0 : step >= 0.1 ? 1 : 2;
  let prev = null;
  return values.map((v) => {
    let text;
    if (!wallClock) text = v.toFixed(decimals) + " s";
    else if (step >= 60 && step % 60 === 0) text = clock(v).slice(0, 5);
    else text = clock(v, decimals);
    const shown = text === prev ? "" : text;
    prev = text;
    return shown;
  });
}

class Plots {
  constructor(container) {
    this.container = container;
    this.plots = new Map();
    this.marks = [];
    this.range = null;
    // Called with the time under the cursor (unix seconds).
    this.onCursor = null;
    window.addEventListener("resize", () => {
      for (const p of this.plots.values()) p.u.setSize({ width: this.width(), height: PLOT_HEIGHT });
    });
  }

  width() {
    return Math.max(280, Math.floor(this.container.clientWidth / (this.container.clientWidth > 900 ? 2 : 1)) - 12);
  }

  // tele: {columns, rows, t0} with t in seconds from t0 (unix, or null);
  // marks: arrival times (unix) of the log lines.
  update(tele, marks) {
    const ti = tele.columns.indexOf("t");
    if (ti < 0 || !tele.rows.length) return;
    const wallClock = typeof tele.t0 === "number";
    const x = tele.rows.map((r) => (r[ti] === null ? null : wallClock ? tele.t0 + r[ti] : r[ti]));
    this.marks = wallClock ? marks : [];
    let lo = Infinity, hi = -Infinity;
    for (const v of x) if (v !== null) { lo = Math.min(lo, v); hi = Math.max(hi, v); }
    for (const m of this.marks) { lo = Math.min(lo, m); hi = Math.max(hi, m); }
    if (!(hi > lo)) hi = lo + 1;
    this.range = [lo, hi];
    for (const def of PLOTS) {
      const cols = tele.columns.map((c, i) => (def.match(c) ? i : -1)).filter((i) => i >= 0);
      if (!cols.length) continue;
      const data = [x, ...cols.map((i) => tele.rows.map((r) => r[i]))];
      const key = cols.map((i) => tele.columns[i]).join(",") + (wallClock ? "@" : "");
      let p = this.plots.get(def.id);
      if (p && p.key !== key) {
        p.u.destroy();
        p.box.remove();
        p = null;
      }
      if (!p) p = this.create(def, cols.map((i) => tele.columns[i]), key, wallClock);
      p.u.setData(data, false);
      p.u.setScale("x", { min: lo, max: hi });
    }
  }

  create(def, names, key, wallClock) {
    const box = el("div", "plot");
    box.id = "plot-" + def.id;
    box.append(el("h3", null, def.title + (def.unit ? " (" + def.unit + ")" : "")));
    this.container.append(box);
    const self = this;
    const opts = {
      width: this.width(),
      height: PLOT_HEIGHT,
      scales: { x: { time: false, range: () => self.range } },
      axes: [
        {
          stroke: "#8a96a2", grid: { stroke: "#232a31" }, ticks: { stroke: "#2a323a" },
          incrs: TIME_STEPS, space: 80,
          values: (u, splits, ax, space, step) => {
            const labels = timeLabels(splits, step, wallClock);
            box.dataset.xticks = labels.filter((s) => s).join("|");
            return labels;
          },
        },
        { stroke: "#8a96a2", grid: { stroke: "#232a31" }, ticks: { stroke: "#2a323a" }, size: 60,
          label: def.unit || undefined, labelSize: 18 },
      ],
      series: [
        { label: wallClock ? "time" : "t", value: (u, v) => (v === null ? "–" : wallClock ? clock(v, 2) : v.toFixed(2) + " s") },
        ...names.map((n, i) => ({ label: n, stroke: COLOURS[i % COLOURS.length], width: 1.5 })),
      ],
      cursor: { sync: { key: "kelvex-time", setSeries: false } },
      legend: { live: true },
      hooks: {
        draw: [(u) => self.drawMarks(u, box)],
        setCursor: [(u) => {
          if (wallClock && self.onCursor && u.cursor.left >= 0) self.onCursor(u.posToVal(u.cursor.left, "x"));
        }],
      },
    };
    const u = new uPlot(opts, [[], ...names.map(() => [])], box);
    const p = { u, box, key };
    this.plots.set(def.id, p);
    return p;
  }

  drawMarks(u, box) {
    const ctx = u.ctx, { top, width, height } = u.bbox;
    const [lo, hi] = [u.scales.x.min, u.scales.x.max];
    // Log lines grouped by the pixel column they fall in: a chatty mission
    // sends thousands, and a line each would cover the plot. A column with
    // one line or a few gets a thin line; where the marks would crowd (more
    // than one per MARK_SPACING pixels over the plot), they become a strip
    // along the top whose brightness says how many lines each column holds.
    const columns = new Map();
    let shown = 0;
    for (const t of this.marks) {
      if (t < lo || t > hi) continue;
      const px = Math.round(u.valToPos(t, "x", true));
      columns.set(px, (columns.get(px) || 0) + 1);
      shown++;
    }
    const notch = 5 * devicePixelRatio;
    const crowded = columns.size * MARK_SPACING * devicePixelRatio > width;
    ctx.save();
    if (!crowded) {
      // Thin blue lines over the plot, each with a notch on top, so that
      // they do not read as the time grid.
      ctx.strokeStyle = "rgba(108, 182, 255, 0.45)";
      ctx.fillStyle = "rgba(108, 182, 255, 0.9)";
      ctx.lineWidth = 1;
      ctx.beginPath();
      for (const px of columns.keys()) {
        ctx.moveTo(px + 0.5, top);
        ctx.lineTo(px + 0.5, top + height);
        ctx.fillRect(px + 0.5 - notch / 2, top - notch, notch, notch);
      }
      ctx.stroke();
    } else {
      const most = Math.max(...columns.values());
      for (const [px, n] of columns) {
        ctx.fillStyle = "rgba(108, 182, 255, " + (0.25 + 0.75 * Math.log1p(n) / Math.log1p(most)).toFixed(2) + ")";
        ctx.fillRect(px, top - notch, 1, notch);
      }
    }
    ctx.restore();
    box.dataset.marks = String(shown);
    box.dataset.markColumns = String(columns.size);
    box.dataset.markStyle = crowded ? "strip" : "lines";
  }
}
