"use strict";
// Shared by the station's pages: fetching the station's JSON, the
// connection state, and times on a 24-hour clock.

const $ = (id) => document.getElementById(id);
let failures = 0;

async function getJSON(url) {
  const r = await fetch(url, { cache: "no-store" });
  if (!r.ok) throw new Error(url + ": " + r.status);
  return r.json();
}

// Set from /api/station: the folder a review station serves, which is not
// live and takes nothing new in.
let REVIEW = null;

function showStatus(ok) {
  failures = ok ? 0 : failures + 1;
  const el = $("status");
  el.classList.toggle("down", failures > 1);
  el.textContent = failures > 1 ? "station not answering"
    : REVIEW !== null ? "review: nothing new arrives" : "live, " + clock(Date.now() / 1000);
}

// The station's own description; a review says so in the header.
async function stationInfo() {
  const info = await getJSON("/api/station");
  if (info.review) {
    REVIEW = info.folder || "";
    document.querySelector("header").classList.add("review");
    let note = document.getElementById("review-note");
    if (!note) {
      note = el("span", "review-note");
      note.id = "review-note";
      document.querySelector("header h1").after(note);
    }
    note.textContent = "review of " + (REVIEW || "a recorded folder");
  }
  return info;
}

const SIGNALS = { 1: "SIGHUP", 2: "SIGINT", 3: "SIGQUIT", 4: "SIGILL", 5: "SIGTRAP", 6: "SIGABRT", 7: "SIGBUS",
  8: "SIGFPE", 9: "SIGKILL", 10: "SIGUSR1", 11: "SIGSEGV", 12: "SIGUSR2", 13: "SIGPIPE", 14: "SIGALRM", 15: "SIGTERM" };

// A satellite's run state in words and the class that colours it:
// running, ended 0, ended N, crashed with its signal, stopped at the time
// limit, silent.
function runState(sat) {
  if (sat.state === "running") return { text: "running", cls: "run-running" };
  if (sat.state === "silent") return { text: "silent", cls: "run-silent" };
  const status = sat.exit_status;
  if (sat.time_limited) return { text: "stopped at the time limit", cls: "run-stopped" };
  if (status === null || status === undefined) return { text: "ended", cls: "run-ended" };
  if (status >= 128) {
    const n = status - 128;
    return { text: "crashed: " + (SIGNALS[n] || "signal " + n), cls: "run-crashed" };
  }
  return status === 0 ? { text: "ended 0", cls: "run-ok" } : { text: "ended " + status, cls: "run-failed" };
}

function poll(fn, ms) {
  const step = async () => {
    try {
      await fn();
      showStatus(true);
    } catch (e) {
      showStatus(false);
    }
    setTimeout(step, ms);
  };
  step();
}

const pad = (n, w = 2) => String(n).padStart(w, "0");

// Unix seconds as HH:MM:SS on the local 24-hour clock, with as many decimals
// of the second as asked for.
function clock(t, decimals = 0) {
  const d = new Date(t * 1000);
  let s = pad(d.getHours()) + ":" + pad(d.getMinutes()) + ":" + pad(d.getSeconds());
  if (decimals > 0) s += "." + pad(d.getMilliseconds(), 3).slice(0, decimals);
  return s;
}

function ago(t) {
  if (t === null || t === undefined) return "never heard";
  const s = Math.max(0, Math.round(Date.now() / 1000 - t));
  if (s < 60) return s + " s ago";
  if (s < 3600) return Math.floor(s / 60) + " min ago";
  return Math.floor(s / 3600) + " h ago";
}

function fixed(v, digits, unit) {
  return v === null || v === undefined ? "–" : v.toFixed(digits) + " " + unit;
}

function el(tag, cls, text) {
  const e = document.createElement(tag);
  if (cls) e.className = cls;
  if (text !== undefined) e.textContent = text;
  return e;
}

const path = (...parts) => "/" + parts.map(encodeURIComponent).join("/");

// A photo's thumbnail. The station makes a few at a time and answers 503
// while the others wait: the image asks again, a little later each time.
function thumbnail(src, alt) {
  const img = el("img");
  let tries = 0;
  img.addEventListener("error", () => {
    if (++tries > 5) return;
    setTimeout(() => { img.src = src + (src.includes("?") ? "&" : "?") + "again=" + tries; },
               1000 * tries);
  });
  img.src = src;
  img.alt = alt;
  return img;
}
