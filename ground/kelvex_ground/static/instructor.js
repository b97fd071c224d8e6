"use strict";
// The instructor's panel on a satellite's page: the satellite's faults,
// switched live, on one screen: a row per unit family with a unit selector
// and a value per fault kind, the faults that are on each with its clear
// button, and the scenario's events still to come. The station prints the
// token when it starts; the page takes it from "#token=..." in the address
// (and drops it from there) or from the form, and keeps it for this tab only.

const TOKEN_KEY = "kelvex-instructor-token";
const TOKEN_HEADER = "X-Kelvex-Token";
// Faults without a unit family: the line's and the room's.
const LINE_FAULTS = new Set(["drop", "corrupt", "late", "glue", "delay", "baud"]);

function takeToken() {
  const m = location.hash.match(/(?:^#|&)token=([^&]+)/);
  if (m) {
    sessionStorage.setItem(TOKEN_KEY, decodeURIComponent(m[1]));
    history.replaceState(null, "", location.pathname + location.search);
  }
  return sessionStorage.getItem(TOKEN_KEY);
}

async function instructed(method, what, body) {
  const r = await fetch(API + "/" + what, {
    method, cache: "no-store",
    headers: { [TOKEN_HEADER]: sessionStorage.getItem(TOKEN_KEY) || "", "Content-Type": "application/json" },
    body: body === undefined ? undefined : JSON.stringify(body),
  });
  if (r.status === 401 || r.status === 403) {
    sessionStorage.removeItem(TOKEN_KEY);
    throw new Error(r.status === 401 ? "token refused" : "only from the station's own machine");
  }
  if (r.status === 404) throw new Error("no faults to switch on this satellite");
  const answer = await r.json().catch(() => ({}));
  if (!r.ok) throw new Error(answer.error || "the station answered " + r.status);
  return answer;
}

function sayInstructor(text, bad) {
  const s = $("instructor-state");
  s.textContent = text;
  s.classList.toggle("alarm", !!bad);
}

// The family a fault hits: what its name says before the kind
// ("sun-sensor-stuck" hits sun-sensor), the line for the line's faults.
function family(f) {
  if (LINE_FAULTS.has(f.name)) return "line";
  const i = f.name.lastIndexOf("-");
  return i > 0 ? f.name.slice(0, i) : f.name;
}

function kindOf(f) {
  const i = f.name.lastIndexOf("-");
  return LINE_FAULTS.has(f.name) || i < 0 ? f.name : f.name.slice(i + 1);
}

function unitCount(f) {
  return Array.isArray(f.units) ? f.units.length : (f.units || 1);
}

let lastFaults = null;

function showFaults(state) {
  lastFaults = state;
  const groups = new Map();
  for (const f of state.available || []) {
    const fam = family(f);
    if (!groups.has(fam)) groups.set(fam, []);
    groups.get(fam).push(f);
  }
  const rows = [];
  for (const [fam, faults] of groups) {
    const li = el("li", "family");
    li.dataset.family = fam;
    li.append(el("span", "family-name", fam));
    const units = Math.max(...faults.map(unitCount));
    let unit = null;
    if (units > 1) {
      unit = el("select", "unit");
      unit.title = fam + " unit";
      for (let k = 0; k < units; k++) {
        const o = el("option", null, String(k));
        o.value = String(k);
        unit.append(o);
      }
      li.append(unit);
    }
    for (const f of faults) {
      const kind = el("span", "kind");
      let value = null;
      if (f.value) {
        value = el("input", "value");
        value.type = "number";
        value.step = "any";
        value.title = f.value;
        value.placeholder = f.value;
        if (f.default !== undefined) value.value = f.default;
      }
      const b = el("button", "switch-on", kindOf(f));
      b.type = "button";
      b.title = f.help || f.name;
      b.dataset.fault = f.name;
      b.addEventListener("click", () => {
        const u = unit && unitCount(f) > 1 ? Number(unit.value) : 0;
        if (u >= unitCount(f)) return sayInstructor(f.name + " has no unit " + u, true);
        switchFault(f.name, u, true, value);
      });
      kind.append(b);
      if (value) kind.append(value);
      li.append(kind);
    }
    rows.push(li);
  }
  $("faults").replaceChildren(...rows);
  showActive(state.active || []);
  showScenario(state.scenario);
}

function showActive(active) {
  const list = $("active-faults");
  if (!active.length) {
    list.replaceChildren(el("li", "empty", "no fault is on"));
    return;
  }
  list.replaceChildren(...active.map((a) => {
    const li = el("li", "active");
    li.append(el("span", null, a.fault + " " + a.unit + (a.value !== null && a.value !== undefined ? " = " + a.value : "")
      + (a.source ? " (" + a.source + ")" : "")));
    const b = el("button", "clear", "clear");
    b.type = "button";
    b.dataset.fault = a.fault;
    b.dataset.unit = a.unit;
    b.addEventListener("click", () => switchFault(a.fault, a.unit, false, null));
    li.append(b);
    return li;
  }));
}

function showScenario(scenario) {
  const box = $("scenario");
  if (!scenario || !scenario.events || !scenario.events.length) {
    box.hidden = true;
    return;
  }
  box.hidden = false;
  const next = scenario.events.filter((e) => !e.done);
  $("scenario-title").textContent = "scenario " + (scenario.file || "") + ": " +
    (next.length ? next.length + " of " + scenario.events.length + " events to come" : "every event switched");
  $("scenario-events").replaceChildren(...scenario.events.map((e) => {
    const li = el("li", e.done ? "done" : "next", e.when + ": " + e.what);
    return li;
  }));
}

async function switchFault(name, unit, on, valueInput) {
  const request = on ? { fault: name, unit } : { clear: name, unit };
  if (on && valueInput && valueInput.value !== "") request.value = Number(valueInput.value);
  try {
    showFaults(await instructed("POST", "fault", request));
    sayInstructor(name + " " + unit + (on ? " switched on" : " cleared"));
  } catch (e) {
    sayInstructor(e.message, true);
    openInstructor();
  }
}

async function openInstructor() {
  const locked = !sessionStorage.getItem(TOKEN_KEY);
  $("token-form").hidden = !locked;
  if (locked) return;
  try {
    showFaults(await instructed("GET", "faults"));
    sayInstructor("faults switched live");
  } catch (e) {
    $("faults").replaceChildren();
    sayInstructor(e.message, true);
    $("token-form").hidden = !!sessionStorage.getItem(TOKEN_KEY);
  }
}

// What the scenario switched shows without a click: the panel asks again now
// and then while it is open.
const PANEL_POLL_MS = 2000;

async function refreshInstructor() {
  if (!sessionStorage.getItem(TOKEN_KEY) || !lastFaults) return;
  try {
    const state = await instructed("GET", "faults");
    showActive(state.active || []);
    showScenario(state.scenario);
    lastFaults = state;
  } catch (e) {
    // The next switch says what is wrong.
  }
}

async function startInstructor() {
  takeToken();
  let info;
  try {
    info = await getJSON("/api/station");
  } catch (e) {
    return;
  }
  if (!info.instructor) return;
  $("instructor-panel").hidden = false;
  $("token-form").addEventListener("submit", (ev) => {
    ev.preventDefault();
    sessionStorage.setItem(TOKEN_KEY, $("token-input").value.trim());
    $("token-input").value = "";
    openInstructor();
  });
  await openInstructor();
  setInterval(refreshInstructor, PANEL_POLL_MS);
}

startInstructor();
