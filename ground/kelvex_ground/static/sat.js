"use strict";
// One satellite's page: its log, its photos and its telemetry plots.

const SAT = decodeURIComponent(location.pathname.split("/")[2] || "");
const API = path("api", "sat", SAT);
// Twice a second, so that what arrives shows within a second.
const LOG_POLL_MS = 500;
const PHOTO_POLL_MS = 500;
const TELEMETRY_POLL_MS = 500;
const STATE_POLL_MS = 1000;
const MAX_LOG_ROWS = 5000;
const PAGE_ROWS = 5000;

// --- the satellite's state ---
async function pollState() {
  // Its own entry: also that of a run no longer among the overview's tiles.
  const sat = await getJSON(API);
  document.title = sat.name + " · kelvex ground station";
  $("sat-name").textContent = sat.name + " (" + sat.address + ")";
  const run = runState(sat);
  $("sat-state").textContent = run.text;
  $("sat-state").className = "state " + run.cls;
  $("sat-run").textContent = sat.run ? "run " + sat.run : "";
  $("sat-heard").textContent = sat.last_heard ? "last heard " + clock(sat.last_heard) + ", " + ago(sat.last_heard) : "never heard";
  $("sat-alarms").replaceChildren(...(sat.alarms || []).map((a) => el("li", "alarm", a)));
}

// --- log ---
let logNext = 0;
const logTimes = [];
const logLines = [];

async function pollLog() {
  const list = $("log");
  // Ask again at once while the station has more than one answer's worth.
  for (let round = 0; round < 20; round++) {
    const data = await getJSON(API + "/log?since=" + logNext);
    if (data.dropped) {
      $("log-dropped").hidden = false;
      $("log-dropped").textContent = data.dropped + " lines lost";
    }
    if (!data.lines.length) break;
    const atBottom = list.scrollTop + list.clientHeight >= list.scrollHeight - 4;
    const frag = document.createDocumentFragment();
    for (const line of data.lines) {
      const li = el("li");
      li.dataset.n = line.n;
      li.append(el("span", "time", line.time), el("span", "text", line.text));
      frag.append(li);
      logTimes.push(line.t);
      logLines.push(line);
    }
    list.append(frag);
    while (list.childElementCount > MAX_LOG_ROWS) list.firstElementChild.remove();
    if (atBottom) list.scrollTop = list.scrollHeight;
    logNext = data.next;
    $("log-count").textContent = String(logNext);
    redraw();
  }
}

// --- photos ---
const shownPhotos = new Set();

async function pollPhotos() {
  const photos = await getJSON(API + "/photos");
  const list = $("photos");
  for (const p of photos) {
    const key = p.name + "@" + p.t;
    if (shownPhotos.has(key)) continue;
    shownPhotos.add(key);
    const old = list.querySelector('li[data-name="' + CSS.escape(p.name) + '"]');
    if (old) old.remove();
    const li = el("li");
    li.dataset.name = p.name;
    const a = el("a");
    a.href = path("photos", SAT, p.name);
    a.target = "_blank";
    a.append(thumbnail(path("thumbs", SAT, p.name) + "?" + p.t, p.name));
    li.append(a, el("div", null, p.name));
    list.prepend(li);
  }
  $("photo-count").textContent = String(photos.length);
  $("no-photos").hidden = photos.length > 0;
  if (photos.length) {
    const last = photos[photos.length - 1];
    const src = path("photos", SAT, last.name) + "?" + last.t;
    if ($("latest-img").getAttribute("src") !== src) {
      $("latest-img").src = src;
      $("latest-link").href = path("photos", SAT, last.name);
      $("latest-name").textContent = last.name;
    }
    $("latest").hidden = false;
  }
}

// --- telemetry ---
const tele = { generation: null, next: 0, columns: [], rows: [], t0: null };
const plots = typeof uPlot === "function" ? new Plots($("plots")) : null;

async function pollTelemetry() {
  const before = tele.rows.length, generation = tele.generation;
  for (let round = 0; round < 20; round++) {
    let data;
    try {
      data = await getJSON(API + "/telemetry?since=" + tele.next);
    } catch (e) {
      return; // a station without telemetry for this satellite
    }
    if (data.file_generation !== tele.generation) {
      // A new run of the simulator wrote a new file: start the plots over.
      const fresh = tele.generation !== null;
      tele.generation = data.file_generation;
      tele.next = 0;
      tele.rows = [];
      if (fresh) continue;
    }
    tele.columns = data.columns;
    tele.t0 = typeof data.t0_unix === "number" ? data.t0_unix : null;
    for (const row of data.rows) tele.rows.push(row);
    tele.next = data.next;
    if (data.rows.length < PAGE_ROWS) break;
  }
  const any = tele.rows.length > 0;
  $("telemetry-state").textContent = any ? tele.rows.length + " samples" : "no telemetry";
  if (any && !plots) $("no-telemetry").textContent = "The plot library is missing from this installation.";
  $("no-telemetry").hidden = any && !!plots;
  if (tele.rows.length !== before || tele.generation !== generation) redraw();
}

// The log line last heard before the time under the plots' cursor.
function showLogAt(t) {
  let lo = 0, hi = logTimes.length;
  while (lo < hi) {
    const mid = (lo + hi) >> 1;
    if (logTimes[mid] <= t) lo = mid + 1;
    else hi = mid;
  }
  const line = lo > 0 ? logLines[lo - 1] : null;
  const shown = $("cursor-line");
  shown.textContent = line ? line.time.slice(11) + "  " + line.text : "";
  const old = document.querySelector("#log li.at-cursor");
  const li = line && document.querySelector('#log li[data-n="' + line.n + '"]');
  if (old && old !== li) old.classList.remove("at-cursor");
  if (li && li !== old) {
    li.classList.add("at-cursor");
    li.scrollIntoView({ block: "nearest" });
  }
}
if (plots) plots.onCursor = showLogAt;

let redrawQueued = false;
function redraw() {
  if (!plots || redrawQueued) return;
  redrawQueued = true;
  setTimeout(() => {
    redrawQueued = false;
    plots.update(tele, logTimes);
  }, 50);
}

stationInfo().catch(() => {});
poll(pollState, STATE_POLL_MS);
poll(pollLog, LOG_POLL_MS);
poll(pollPhotos, PHOTO_POLL_MS);
poll(pollTelemetry, TELEMETRY_POLL_MS);
