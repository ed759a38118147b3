// The status page: reads the admin API every 5 seconds and draws what it
// gets. Every text from the daemon is set as text, never as markup: AppIDs
// and UniqueIDs are whatever bytes clients sent.
"use strict";

const REFRESH_MS = 5000;
const PAGE_SIZE = 50;
const TOKEN_KEY = "tallyd-token";
const SVG = "http://www.w3.org/2000/svg";
const HOUR_MS = 3600 * 1000, DAY_MS = 24 * HOUR_MS;
// The chart's ranges: 24 hours of minutes from memory, longer ones from the
// state file's hours and days (only what the daemon has kept). The long ones
// change slowly and cost a query over many rows: fetched once a minute.
const RANGES = {
  day: { name: "24 hours", span: DAY_MS, every: 0, path: () => "/api/v1/history?minutes=1440" },
  month: { name: "30 days", span: 30 * DAY_MS, every: 60000, step: "hour" },
  year: { name: "1 year", span: 365 * DAY_MS, every: 60000, step: "day" },
};

const $ = (id) => document.getElementById(id);
const list = { search: {}, after: "", next: null };
let lastRequests = null;  // { total, at } of the previous status
const chart = { range: "day", fetched: 0 };

class Unauthorized extends Error {}

async function api(path, method = "GET") {
  const headers = {};
  const token = sessionStorage.getItem(TOKEN_KEY);
  if (token) headers.Authorization = "Bearer " + token;
  if (method !== "GET") headers["X-Tallyd-Admin"] = "1";
  const response = await fetch(path, { method, headers, cache: "no-store" });
  if (response.status === 401) throw new Unauthorized();
  const body = await response.json();
  if (!response.ok) throw new Error(body.error || response.statusText);
  return body;
}

function duration(seconds) {
  const d = Math.floor(seconds / 86400), h = Math.floor(seconds / 3600) % 24;
  const m = Math.floor(seconds / 60) % 60;
  if (d > 0) return `${d} d ${h} h`;
  if (h > 0) return `${h} h ${m} min`;
  return `${m} min ${seconds % 60} s`;
}

const local = (rfc3339) => new Date(rfc3339).toLocaleString();

function cell(row, text, className) {
  const td = row.insertCell();
  td.textContent = text;
  if (className) td.className = className;
  return td;
}

function showStatus(status) {
  $("version").textContent = status.version;
  $("clients").textContent = status.current_clients.toLocaleString();
  $("peak").textContent = status.peak_clients.toLocaleString();
  $("peak-time").textContent = status.peak_time ? local(status.peak_time) : "";
  $("uptime").textContent = duration(status.uptime_seconds);
  $("started").textContent = "since " + local(status.start_time);
  const total = Object.values(status.requests_by_code).reduce((a, b) => a + b, 0);
  const now = performance.now();
  if (lastRequests && now > lastRequests.at) {
    const rate = (total - lastRequests.total) / ((now - lastRequests.at) / 1000);
    $("rate").textContent = rate.toFixed(rate < 10 ? 1 : 0);
  }
  lastRequests = { total, at: now };

  const body = $("apps").tBodies[0];
  body.replaceChildren();
  for (const app of status.clients_by_app) {
    const row = body.insertRow();
    cell(row, app.app_id);
    cell(row, app.clients.toLocaleString(), "number");
  }
}

function svg(name, attributes, text) {
  const node = document.createElementNS(SVG, name);
  for (const [key, value] of Object.entries(attributes)) node.setAttribute(key, value);
  if (text !== undefined) node.textContent = text;
  return node;
}

function historyPath(range) {
  if (range.path) return range.path();
  const from = Math.floor((Date.now() - range.span) / 1000);
  return `/api/v1/history?from=${from}&step=${range.step}`;
}

// [time in ms, clients] from either answer: samples, or periods with their maximum.
function points(history) {
  if (history.samples) return history.samples.map((s) => [Date.parse(s.time), s.clients]);
  return history.periods.map((p) => [Date.parse(p.start), p.max]);
}

function axisLabel(range, end, t) {
  if (range.span <= DAY_MS) {
    const hours = Math.round((end - t) / HOUR_MS);
    return hours === 0 ? "now" : `−${hours} h`;
  }
  return t >= end ? "now" : new Date(t).toLocaleDateString(undefined, { month: "short", day: "numeric" });
}

// The chart spans the whole range to now, whatever points exist.
function showHistory(history) {
  const range = RANGES[chart.range];
  const svgChart = $("chart");
  const left = 48, right = 712, top = 12, bottom = 192;
  const end = Date.now(), start = end - range.span;
  const data = points(history).filter(([t]) => t >= start);
  let most = Math.max(2, ...data.map((p) => p[1]));
  most += most % 2;  // whole numbers on the middle line
  const x = (t) => left + ((t - start) / (end - start)) * (right - left);
  const y = (n) => bottom - (n / most) * (bottom - top);
  svgChart.replaceChildren();
  for (const n of [0, most / 2, most]) {
    svgChart.append(svg("line", { class: "grid", x1: left, x2: right, y1: y(n), y2: y(n) }));
    svgChart.append(svg("text", { x: left - 6, y: y(n) + 4, "text-anchor": "end" },
                        Math.round(n).toLocaleString()));
  }
  for (let i = 0; i <= 4; i++) {
    const t = start + (i * range.span) / 4;
    const anchor = i === 0 ? "start" : i === 4 ? "end" : "middle";
    svgChart.append(svg("text", { x: x(t), y: 212, "text-anchor": anchor }, axisLabel(range, end, t)));
  }
  if (data.length > 0) {
    const line = data.map(([t, n]) => `${x(t).toFixed(1)},${y(n).toFixed(1)}`);
    const first = x(data[0][0]).toFixed(1), last = x(data[data.length - 1][0]).toFixed(1);
    svgChart.append(svg("path", { class: "area",
                                  d: `M${first},${bottom}L${line.join("L")}L${last},${bottom}Z` }));
  }
}

function listQuery() {
  const query = new URLSearchParams({ limit: PAGE_SIZE });
  for (const [key, value] of Object.entries(list.search)) query.set(key, value);
  if (list.after) query.set("after", list.after);
  return "/api/v1/clients?" + query;
}

function showClients(page) {
  const body = $("list").tBodies[0];
  body.replaceChildren();
  for (const client of page.clients) {
    const row = body.insertRow();
    cell(row, client.unique_id);
    cell(row, client.app_id);
    cell(row, client.address);
    cell(row, client.logins, "number");
    cell(row, local(client.last_seen));
    const button = document.createElement("button");
    button.type = "button";
    button.className = "danger";
    button.textContent = "Release";
    button.setAttribute("aria-label", "Release " + client.unique_id);
    button.addEventListener("click", () => confirmRelease(client));
    row.insertCell().append(button);
  }
  if (page.clients.length === 0) {
    cell(body.insertRow(), "No clients match.").colSpan = 6;
  }
  list.next = page.next || null;
  $("next").disabled = !list.next;
  $("first").disabled = !list.after;
}

function confirmRelease(client) {
  const dialog = $("confirm");
  $("confirm-text").textContent =
    `Release ${client.unique_id} (${client.app_id}, ${client.address})? ` +
    "Its next EXIT will be answered as unknown.";
  dialog.returnValue = "";
  dialog.onclose = async () => {
    if (dialog.returnValue !== "release") return;
    try {
      await api("/api/v1/clients/" + encodeURIComponent(client.unique_id), "DELETE");
    } catch (error) {
      if (!(error instanceof Unauthorized)) $("state").textContent = "Release failed: " + error.message;
    }
    refresh();
  };
  dialog.showModal();
  $("confirm-release").focus();
}

function askToken() {
  const dialog = $("login");
  if (dialog.open) return;
  $("token").value = "";
  dialog.onclose = () => {
    const token = $("token").value.trim();
    if (token) sessionStorage.setItem(TOKEN_KEY, token);
    refresh();
  };
  dialog.showModal();
}

let refreshing = false, again = false;
async function refresh() {
  if (refreshing) {
    again = true;  // a release or search while a refresh runs: one more after it
    return;
  }
  refreshing = true;
  try {
    const shown = chart.range, range = RANGES[shown];
    const due = performance.now() - chart.fetched >= range.every || chart.fetched === 0;
    const [status, history, page] = await Promise.all([
      api("/api/v1/status"), due ? api(historyPath(range)) : null, api(listQuery())]);
    showStatus(status);
    if (history && chart.range === shown) {
      showHistory(history);
      chart.fetched = performance.now();
    }
    showClients(page);
    $("state").textContent = "";
    document.body.dataset.updated = new Date().toISOString();
  } catch (error) {
    if (error instanceof Unauthorized) {
      sessionStorage.removeItem(TOKEN_KEY);
      askToken();
    } else {
      $("state").textContent = "The daemon does not answer: " + error.message;
    }
  } finally {
    refreshing = false;
    if (again) {
      again = false;
      refresh();
    }
  }
}

$("search").addEventListener("submit", (event) => {
  event.preventDefault();
  const text = $("search-text").value.trim();
  list.search = text ? { [$("search-field").value]: text } : {};
  list.after = "";
  refresh();
});
for (const button of document.querySelectorAll("#ranges button")) {
  button.addEventListener("click", () => {
    chart.range = button.dataset.range;
    chart.fetched = 0;
    for (const other of document.querySelectorAll("#ranges button")) {
      other.setAttribute("aria-pressed", String(other === button));
    }
    $("range-name").textContent = RANGES[chart.range].name;
    refresh();
  });
}
$("next").addEventListener("click", () => {
  list.after = list.next;
  refresh();
});
$("first").addEventListener("click", () => {
  list.after = "";
  refresh();
});

refresh();
setInterval(refresh, REFRESH_MS);
