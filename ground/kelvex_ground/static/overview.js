"use strict";
// The station's overview: a tile per satellite.

// Twice a second, so that what arrives shows within a second.
const OVERVIEW_POLL_MS = 500;
const EARLIER_POLL_MS = 5000;

function tile(sat) {
  const run = runState(sat);
  const li = el("li", "tile state-" + sat.state + " " + run.cls);
  li.dataset.id = sat.id;
  const head = el("div", "tile-head");
  const name = el("a", "name", sat.name);
  name.href = path("sat", sat.id);
  head.append(name, el("span", "state " + run.cls, run.text));
  li.append(head);

  const facts = el("dl");
  const fact = (term, value, cls) => {
    facts.append(el("dt", null, term));
    facts.append(el("dd", cls, value));
  };
  if (sat.run) fact("run", sat.run, "run");
  fact("address", sat.address, "address");
  fact("last heard", sat.last_heard ? clock(sat.last_heard) + ", " + ago(sat.last_heard) : "never",
       "heard");
  fact("pointing error", fixed(sat.pointing_deg, 1, "°"), "pointing");
  fact("rate", fixed(sat.rate_dps, 2, "°/s"), "rate");
  fact("log", sat.lines + " lines" + (sat.dropped ? ", " + sat.dropped + " lost" : ""), "lines");
  li.append(facts);

  const photo = el("a", "thumb");
  photo.href = path("sat", sat.id);
  if (sat.last_photo) {
    photo.append(thumbnail(path("thumbs", sat.id, sat.last_photo), sat.last_photo));
  } else {
    photo.append(el("span", "empty", "no photo yet"));
  }
  li.append(photo);

  const alarms = el("ul", "alarms");
  for (const a of sat.alarms || []) alarms.append(el("li", "alarm", a));
  li.append(alarms);
  return li;
}

async function pollSatellites() {
  const sats = await getJSON("/api/satellites");
  const list = $("tiles");
  const frag = document.createDocumentFragment();
  for (const sat of sats) frag.append(tile(sat));
  // Images already loaded stay: only tiles whose photo changed fetch again.
  const old = new Map([...list.children].map((li) => [li.dataset.id, li.querySelector(".thumb img")]));
  for (const li of frag.children) {
    const before = old.get(li.dataset.id), img = li.querySelector(".thumb img");
    if (before && img && before.getAttribute("src") === img.getAttribute("src")) img.replaceWith(before);
  }
  list.replaceChildren(frag);
  $("no-satellites").hidden = sats.length > 0;
}

// Runs that ended or fell silent and left the tiles to make room: listed
// below them, each leading to its page, which stays.
function earlierRun(sat) {
  const run = runState(sat);
  const li = el("li", "earlier-run");
  li.dataset.id = sat.id;
  const name = el("a", "name", sat.name || sat.id);
  name.href = path("sat", sat.id);
  li.append(name, " ", el("span", "state " + run.cls, run.text), " ", el("span", "run", sat.id),
            " ", el("span", "heard", sat.last_heard ? "last heard " + clock(sat.last_heard) : "never heard"));
  return li;
}

let earlierCount = -1;

async function pollEarlier() {
  const info = await getJSON("/api/station");
  const count = info.earlier || 0;
  $("earlier").hidden = count === 0;
  if (count === earlierCount) return;
  earlierCount = count;
  const runs = count ? await getJSON("/api/earlier") : [];
  $("earlier-count").textContent = count + (count === 1 ? " earlier run" : " earlier runs")
    + ", no longer live" + (runs.length < count ? " (the latest " + runs.length + " listed)" : "");
  $("earlier-list").replaceChildren(...runs.map(earlierRun));
}

async function loadStation() {
  try {
    const info = await stationInfo();
    $("station").textContent = info.review ? "version " + info.version
      : "log udp " + info.log_port + ", ftp " + info.ftp_port + ", version " + info.version;
  } catch (e) {
    // The tiles matter more than the ports.
  }
}

loadStation();
poll(pollSatellites, OVERVIEW_POLL_MS);
poll(pollEarlier, EARLIER_POLL_MS);
