// The tokentally dashboard: reads /dashboard/api/ every 5 seconds and draws
// what it answers. No framework; Chart.js when the server found it.
"use strict";

const REFRESH_MS = 5000;
const TOKEN_KEY = "tokentally.admin_token";
const COLOURS = ["#4e79a7", "#f28e2b", "#e15759", "#76b7b2", "#59a14f", "#edc948", "#b07aa1", "#ff9da7",
                 "#9c755f", "#bab0ac"];

const charts = {};
window.tokentallyCharts = charts;  // read by the page test
window.tokentallyRefreshes = 0;

const $ = (id) => document.getElementById(id);

// --- reading the API ------------------------------------------------------

function authHeaders() {
  const token = sessionStorage.getItem(TOKEN_KEY);
  return token ? {Authorization: "Bearer " + token} : {};
}

// A 401 asks for the token once; it is kept for the browser session.
// The costliest sessions of the range the page lists.
const SESSION_ROWS = 50;

async function get(path, asText) {
  let resp = await fetch(path, {headers: authHeaders()});
  if (resp.status === 401) {
    const token = window.prompt("This tokentally asks for its admin token (TOKENTALLY_ADMIN_TOKEN):");
    if (token) {
      sessionStorage.setItem(TOKEN_KEY, token);
      resp = await fetch(path, {headers: authHeaders()});
    }
  }
  if (!resp.ok) {
    let detail = resp.statusText;
    try { detail = (await resp.json()).detail || detail; } catch (e) { /* not JSON */ }
    throw new Error(path + ": " + resp.status + " " + detail);
  }
  if (asText) return resp.text();
  const body = await resp.json();
  // A list cut to its first rows says how long it is in full.
  const total = resp.headers.get("X-Total-Count");
  if (total !== null && Array.isArray(body)) body.total = Number(total);
  return body;
}

function params(extra) {
  const p = new URLSearchParams({range: $("range").value, tag: $("tag").value, model: $("model").value});
  for (const [k, v] of Object.entries(extra || {})) p.set(k, v);
  return p.toString();
}

// --- formatting -------------------------------------------------------------

const money = (v) => (v === null || v === undefined ? "—" : "$" + Number(v).toFixed(6));
const count = (v) => (v === null || v === undefined ? "—" : Math.trunc(Number(v)).toLocaleString("en-US"));
const secs = (v) => (v === null || v === undefined ? "—" : Number(v).toFixed(2) + "s");
const time = (ts) => new Date(ts * 1000).toLocaleString();

function setKpi(id, text, value) {
  const el = $(id);
  el.textContent = text;
  el.dataset.value = value === undefined ? "" : String(value);
}

function cell(row, text, className) {
  const td = document.createElement("td");
  td.textContent = text;
  if (className) td.className = className;
  row.appendChild(td);
  return td;
}

function fillTable(id, items, draw) {
  const body = $(id).querySelector("tbody");
  body.replaceChildren();
  for (const item of items) {
    const tr = document.createElement("tr");
    draw(tr, item);
    body.appendChild(tr);
  }
  if (items.length === 0) {
    const tr = document.createElement("tr");
    const td = cell(tr, "nothing in this range", "muted");
    td.colSpan = $(id).querySelectorAll("th").length;
    body.appendChild(tr);
  }
}

// Keeps the options of a filter in step with what the ledger holds.
function fillFilter(id, names) {
  const select = $(id);
  const chosen = select.value;
  const wanted = [""].concat([...new Set(names)].sort());
  if (chosen && !wanted.includes(chosen)) wanted.push(chosen);
  const have = [...select.options].map((o) => o.value);
  if (JSON.stringify(have) === JSON.stringify(wanted)) return;
  select.replaceChildren(...wanted.map((v) => new Option(v || "all", v)));
  select.value = chosen;
}

// --- charts -----------------------------------------------------------------

function chart(id, config) {
  if (!window.Chart) return;
  if (charts[id]) {
    charts[id].data = config.data;
    charts[id].update("none");
    return;
  }
  config.options = Object.assign({animation: false, responsive: true, maintainAspectRatio: false}, config.options);
  charts[id] = new Chart($(id), config);
}

function drawSeries(series) {
  const labels = series.starts.map((t) => {
    const d = new Date(t * 1000);
    return series.bucket_s < 86400 ? d.getHours() + ":00" : d.toLocaleDateString();
  });
  const datasets = series.datasets.map((d, i) => ({
    type: "bar", label: d.model_id || "(none)", data: d.cost, backgroundColor: COLOURS[i % COLOURS.length],
    stack: "spend"}));
  if (series.daily_budget !== null)
    datasets.push({type: "line", label: "daily budget", data: labels.map(() => series.daily_budget),
                   borderColor: "#d62728", pointRadius: 0, borderDash: [6, 4]});
  chart("chart-spend", {data: {labels, datasets},
                        options: {scales: {x: {stacked: true}, y: {stacked: true, beginAtZero: true}}}});
}

function drawGroups(s) {
  chart("chart-model", {type: "bar", data: {
    labels: s.by_model.map((m) => m.model_id),
    datasets: [{label: "cost $", data: s.by_model.map((m) => m.cost), backgroundColor: COLOURS[0]}]}});
  chart("chart-tag", {type: "bar", data: {
    labels: s.by_tag.map((t) => t.tag),
    datasets: [{label: "cost $", data: s.by_tag.map((t) => t.cost), backgroundColor: COLOURS[1]},
               {label: "daily budget", data: s.by_tag.map((t) => t.daily_budget), backgroundColor: "#bbb"}]}});
  chart("chart-latency", {type: "bar", data: {
    labels: s.latency.map((l) => l.model_id),
    datasets: [{label: "p50", data: s.latency.map((l) => l.p50), backgroundColor: COLOURS[3]},
               {label: "p95", data: s.latency.map((l) => l.p95), backgroundColor: COLOURS[2]}]}});
  const classes = Object.keys(s.status_classes);
  chart("chart-status", {type: "doughnut", data: {
    labels: classes,
    datasets: [{data: classes.map((c) => s.status_classes[c]),
                backgroundColor: classes.map((c, i) => COLOURS[i % COLOURS.length])}]}});
}

// --- the sections -------------------------------------------------------------

function drawKpis(s) {
  setKpi("kpi-cost", money(s.cost), s.cost);
  setKpi("kpi-calls", count(s.calls), s.calls);
  setKpi("kpi-in", count(s.tokens_in), s.tokens_in);
  setKpi("kpi-out", count(s.tokens_out), s.tokens_out);
  const monthly = s.budgets.find((b) => b.scope === "monthly");
  const month = monthly ? monthly.spent : s.month_spent;
  $("kpi-month-caption").textContent = s.period === "calendar" ? "This month vs monthly budget"
                                                                : "30 days vs monthly budget";
  setKpi("kpi-month", money(month) + (monthly ? " of " + money(monthly.limit) : " (no monthly budget)"), month);
  const today = s.budgets.filter((b) => b.scope === "daily" || b.scope.startsWith("tag:"));
  setKpi("kpi-left", today.length ? today.map((b) => b.scope + " " + money(b.left)).join(" · ") :
                                    (s.budget_error || "no daily budget"));
  setKpi("kpi-hits", (s.cache.hit_rate * 100).toFixed(1) + "%", s.cache.hit_rate);
  setKpi("kpi-saved", money(s.cache.saved_usd), s.cache.saved_usd);
  // Shown while rate limits are configured: a refused call leaves no row,
  // so the proxies count them per minute beside the ledger.
  const limited = "rate_limited" in s || "rate_limited_error" in s;
  $("kpi-limited-box").hidden = !limited;
  if (limited) setKpi("kpi-limited", "rate_limited" in s ? count(s.rate_limited) : s.rate_limited_error,
                      s.rate_limited);
}

async function openSession(tr, id) {
  const next = tr.nextElementSibling;
  if (next && next.classList.contains("calls")) { next.remove(); return; }
  const calls = await get("/dashboard/api/session?" + new URLSearchParams({id, n: 50}));
  const row = document.createElement("tr");
  row.className = "calls";
  const td = cell(row, "");
  td.colSpan = 9;
  td.textContent = calls.map((c) => time(c.ts) + "  " + (c.model_id || "—") + "  " + money(c.cost_usd) +
                                     "  " + c.status).join("\n");
  tr.after(row);
}

function drawSessions(rows) {
  fillTable("sessions", rows, (tr, r) => {
    cell(tr, r.session_id, "link").onclick = () => openSession(tr, r.session_id).catch(report);
    cell(tr, r.tag); cell(tr, count(r.calls), "num"); cell(tr, count(r.total_prompt), "num");
    cell(tr, count(r.total_completion), "num"); cell(tr, money(r.total_cost), "num");
    cell(tr, secs(r.avg_latency), "num"); cell(tr, count(r.errors), "num"); cell(tr, time(r.last_call));
  });
  if (rows.total > rows.length) {
    const tr = document.createElement("tr");
    const td = cell(tr, count(rows.total - rows.length) + " more sessions, each costing less", "muted");
    td.colSpan = $("sessions").querySelectorAll("th").length;
    $("sessions").querySelector("tbody").appendChild(tr);
  }
}

function drawRecent(rows) {
  fillTable("recent", rows, (tr, r) => {
    tr.dataset.id = r.id;
    cell(tr, time(r.ts)); cell(tr, r.session_id); cell(tr, r.model_id || "—"); cell(tr, r.tag);
    cell(tr, count(r.prompt_tokens), "num"); cell(tr, count(r.completion_tokens), "num");
    cell(tr, money(r.cost_usd), "num"); cell(tr, secs(r.elapsed_s), "num");
    cell(tr, String(r.status), r.error ? "num bad" : "num");
    const marks = [r.streamed ? "streamed" : "", r.cached ? "cached" : "", r.routed ? "routed" : "",
                   r.error ? "error" : ""].filter(Boolean);
    cell(tr, marks.join(" "), "marks");
  });
}

function drawAlerts(rows) {
  fillTable("alerts", rows, (tr, a) => {
    if (!a.seen) tr.className = "unseen";
    cell(tr, time(a.ts)); cell(tr, a.level, a.level); cell(tr, a.scope);
    cell(tr, money(a.spent), "num"); cell(tr, money(a.budget), "num"); cell(tr, a.message);
  });
}

function drawAdvice(rows) {
  fillTable("advice", rows, (tr, s) => {
    cell(tr, s.current_model); cell(tr, s.alt_model); cell(tr, count(s.calls), "num");
    cell(tr, money(s.current_cost), "num"); cell(tr, money(s.projected_cost), "num");
    cell(tr, money(s.projected_saving) + " (" + Number(s.saving_pct).toFixed(0) + "%)", "num");
  });
}

// --- refreshing -------------------------------------------------------------

function report(err) {
  $("status").textContent = String(err.message || err);
  $("status").className = "bad";
}

let busy = false;

async function refresh() {
  if (busy) return;
  busy = true;
  try {
    const q = params();
    const [summary, series, sessions, recent, alerts, advice] = await Promise.all([
      get("/dashboard/api/summary?" + q), get("/dashboard/api/series?" + q),
      get("/dashboard/api/sessions?" + params({n: SESSION_ROWS})), get("/dashboard/api/recent?" + params({n: 50})),
      get("/dashboard/api/alerts?n=50"), get("/dashboard/api/advice?" + q)]);
    fillFilter("tag", summary.by_tag.map((t) => t.tag));
    fillFilter("model", summary.by_model.map((m) => m.model_id));
    drawKpis(summary);
    drawSeries(series);
    drawGroups(summary);
    drawSessions(sessions);
    drawRecent(recent);
    drawAlerts(alerts);
    drawAdvice(advice);
    $("status").textContent = "updated " + new Date().toLocaleTimeString();
    $("status").className = "muted";
    window.tokentallyRefreshes += 1;
  } catch (err) {
    report(err);
  } finally {
    busy = false;
  }
}

async function downloadCsv() {
  const text = await get("/dashboard/calls.csv?" + params(), true);
  const link = document.createElement("a");
  link.href = URL.createObjectURL(new Blob([text], {type: "text/csv"}));
  link.download = "tokentally-calls-" + $("range").value + ".csv";
  link.click();
  URL.revokeObjectURL(link.href);
}

$("no-charts").hidden = Boolean(window.Chart);
for (const id of ["range", "tag", "model"]) $(id).addEventListener("change", refresh);
$("csv").addEventListener("click", () => downloadCsv().catch(report));
refresh();
setInterval(refresh, REFRESH_MS);
