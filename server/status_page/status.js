// The status page: reads the admin API every 5 seconds and draws what it
// gets. Every text from the daemon is set as text, never as markup: AppIDs
// and UniqueIDs are whatever bytes clients sent.
"use strict";

const REFRESH_MS = 5000;
const PAGE_SIZE = 50;
const TOKEN_KEY = "tallyd-token";
const SVG = "http://www.w3.org/2000/svg";

const $ = (id) => document.getElementById(id);
const list = { search: {}, after: "", next: null };
let lastRequests = null;  // { total, at } of the previous status

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

// The chart spans the last 24 hours to now, whatever samples exist.
function showHistory(history) {
  const chart = $("chart");
  const left = 48, right = 712, top = 12, bottom = 192;
  const end = Date.now(), start = end - 24 * 3600 * 1000;
  const samples = history.samples.map((s) => [Date.parse(s.time), s.clients]);
  let most = Math.max(2, ...samples.map((s) => s[1]));
  most += most % 2;  // whole numbers on the middle line
  const x = (t) => left + ((t - start) / (end - start)) * (right - left);
  const y = (n) => bottom - (n / most) * (bottom - top);
  chart.replaceChildren();
  for (const n of [0, most / 2, most]) {
    chart.append(svg("line", { class: "grid", x1: left, x2: right, y1: y(n), y2: y(n) }));
    chart.append(svg("text", { x: left - 6, y: y(n) + 4, "text-anchor": "end" },
                     Math.round(n).toLocaleString()));
  }
  for (let hours = 24; hours >= 0; hours -= 6) {
    const t = end - hours * 3600 * 1000;
    const label = hours === 0 ? "now" : `−${hours} h`;
    const anchor = hours === 24 ? "start" : hours === 0 ? "end" : "middle";
    chart.append(svg("text", { x: x(t), y: 212, "text-anchor": anchor }, label));
  }
  if (samples.length > 0) {
    const points = samples.map(([t, n]) => `${x(t).toFixed(1)},${y(n).toFixed(1)}`);
    const first = x(samples[0][0]).toFixed(1), last = x(samples[samples.length - 1][0]).toFixed(1);
    chart.append(svg("path", { class: "area",
                               d: `M${first},${bottom}L${points.join("L")}L${last},${bottom}Z` }));
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
    const [status, history, page] = await Promise.all([
      api("/api/v1/status"), api("/api/v1/history?minutes=1440"), api(listQuery())]);
    showStatus(status);
    showHistory(history);
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
