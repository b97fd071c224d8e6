"use strict";
// The instructor's panel on a satellite's page: the satellite's faults,
// switched live. The station prints the token when it starts; the page takes
// it from "#token=..." in the address (and drops it from there) or from the
// form, and keeps it for this tab only.

const TOKEN_KEY = "kelvex-instructor-token";
const TOKEN_HEADER = "X-Kelvex-Token";

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

function showFaults(state) {
  const active = new Map((state.active || []).map((a) => [a.fault + "/" + a.unit, a]));
  const rows = [];
  for (const f of state.available || []) {
    const units = Array.isArray(f.units) ? f.units : [...Array(f.units || 1).keys()];
    for (const unit of units) {
      const on = active.get(f.name + "/" + unit);
      const li = el("li", on ? "fault on" : "fault");
      const box = el("input");
      box.type = "checkbox";
      box.checked = !!on;
      box.dataset.fault = f.name;
      box.dataset.unit = unit;
      const label = el("label");
      label.append(box, " " + f.name + (units.length > 1 ? " " + unit : ""));
      li.append(label);
      let value = null;
      if (f.value) {
        value = el("input", "value");
        value.type = "number";
        value.step = "any";
        value.value = on && on.value !== undefined && on.value !== null ? on.value : (f.default ?? 0);
        li.append(" ", value, " " + f.value);
      }
      box.addEventListener("change", () => switchFault(f.name, unit, box.checked, value));
      rows.push(li);
    }
  }
  $("faults").replaceChildren(...rows);
}

async function switchFault(name, unit, on, valueInput) {
  const request = on ? { fault: name, unit } : { clear: name, unit };
  if (on && valueInput) request.value = Number(valueInput.value);
  try {
    showFaults(await instructed("POST", "fault", request));
    sayInstructor(name + (on ? " switched on" : " cleared"));
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
  openInstructor();
}

startInstructor();
