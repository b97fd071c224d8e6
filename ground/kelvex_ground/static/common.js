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

function showStatus(ok) {
  failures = ok ? 0 : failures + 1;
  const el = $("status");
  el.classList.toggle("down", failures > 1);
  el.textContent = failures > 1 ? "station not answering" : "live, " + clock(Date.now() / 1000);
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
