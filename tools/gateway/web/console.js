// The console page: the overview, a controller's page and the traffic monitor, all fed by
// the JSON API and one event stream. Elements that automation relies on carry data-line,
// data-address, data-field, data-command and data-output (docs/console.md).
import { drawPlot } from "./plot.js";

const api = "/api/v1";
const session = { csrf: "", readOnly: false, confirmMoves: true };
const states = new Map();      // "line/address" -> state
const positions = new Map();   // "line/address" -> [[timeMs, position]]
const PLOT_SPAN_MS = 5 * 60 * 1000;
const TRACE_ROWS = 400;
const ARM_MS = 4000;
let lines = [];
let paused = false;
let current = null;            // {line, address} on the controller page

const $ = id => document.getElementById(id);
const key = (line, address) => `${line}/${address}`;

function el(tag, attrs = {}, ...children) {
  const e = document.createElement(tag);
  for (const [k, v] of Object.entries(attrs)) {
    if (k === "class") e.className = v;
    else if (k.startsWith("data-") || k.startsWith("aria-") || k === "type" || k === "href" || k === "for" || k === "role")
      e.setAttribute(k, v);
    else e[k] = v;
  }
  for (const c of children) e.append(c);
  return e;
}

async function call(method, path, body) {
  const headers = { "Accept": "application/json" };
  if (method !== "GET") headers["X-CSRF-Token"] = session.csrf;
  if (body !== undefined) headers["Content-Type"] = "application/json";
  const res = await fetch(api + path, { method, headers, body: body === undefined ? undefined : JSON.stringify(body),
                                        credentials: "same-origin" });
  if (res.status === 401) { location.href = "/login"; throw new Error("not logged in"); }
  let data = null;
  try { data = await res.json(); } catch { data = null; }
  return { ok: res.ok, status: res.status, data };
}

function causeText(reply) {
  if (reply.ok) return "done";
  const d = reply.data || {};
  if (d.cause) return `refused: ${d.cause.text} (cause ${d.cause.code})`;
  return d.error || `failed (HTTP ${reply.status})`;
}

const COMMANDS = [["move-left", "◀ Left"], ["move-right", "Right ▶"], ["move-auto", "Auto"], ["stop", "Stop"], ["init", "Init"]];
const MOVES = new Set(["move-left", "move-right", "move-auto"]);
const WORDS = { "move-left": "move left", "move-right": "move right", "move-auto": "automatic run", "stop": "stop", "init": "init" };

// A move asks for a second click within ARM_MS when the gateway's setting says so.
async function command(button, line, address, name, message) {
  if (session.confirmMoves && MOVES.has(name) && !button.classList.contains("armed")) {
    button.classList.add("armed");
    button.dataset.label = button.textContent;
    button.textContent = "Confirm?";
    button.setAttribute("aria-label", `Confirm ${WORDS[name]} of controller ${address}`);
    setTimeout(() => disarm(button), ARM_MS);
    return;
  }
  disarm(button);
  const reply = await call("POST", `/lines/${line}/controllers/${address}/commands/${name}`);
  message.textContent = `${WORDS[name]}: ${causeText(reply)}`;
  message.className = reply.ok ? "message ok" : "message refused";
}

function disarm(button) {
  if (!button.classList.contains("armed")) return;
  button.classList.remove("armed");
  button.textContent = button.dataset.label;
  button.removeAttribute("aria-label");
}

function card(line, address, withLink = true) {
  const message = el("p", { class: "message", role: "status", "aria-live": "polite" });
  const title = withLink ? el("a", { href: `#/c/${line}/${address}` }, `Controller ${address}`) : `Controller ${address}`;
  const commands = el("div", { class: "commands", role: "group", "aria-label": "Commands" });
  for (const [name, label] of COMMANDS) {
    const b = el("button", { type: "button", "data-command": name, title: WORDS[name] }, label);
    b.disabled = session.readOnly;
    b.addEventListener("click", () => command(b, line, address, name, message));
    commands.append(b);
  }
  const outputs = el("div", { class: "outputs", role: "group", "aria-label": "Outputs" });
  for (let n = 1; n <= 6; n++) {
    const b = el("button", { type: "button", "data-output": String(n), "aria-pressed": "false",
                             "aria-label": `Output ${n}` }, `Out ${n}`);
    b.disabled = session.readOnly;
    b.addEventListener("click", async () => {
      const on = b.getAttribute("aria-pressed") !== "true";
      const reply = await call("PUT", `/lines/${line}/controllers/${address}/outputs/${n}`, { on });
      message.textContent = `output ${n} ${on ? "on" : "off"}: ${causeText(reply)}`;
      if (reply.ok) b.setAttribute("aria-pressed", String(on));
    });
    outputs.append(b);
  }
  const lights = el("div", { class: "lights", "aria-label": "Inputs" });
  for (const [field, label] of [["left-limit", "L limit"], ["right-limit", "R limit"], ["left-extremity", "L extremity"], ["right-extremity", "R extremity"]])
    lights.append(el("span", { class: "light", "data-field": field }, label));
  return el("article", { class: "card", "data-line": line, "data-address": String(address),
                         "aria-label": `Controller ${address} on ${line}` },
    el("h3", {}, title, el("span", { "data-field": "available", class: "badge" }, "…")),
    el("div", { class: "track", role: "meter", "aria-label": "Position between begin and end point",
                "aria-valuemin": "0", "aria-valuemax": "100" }, el("div", { class: "screen" })),
    el("div", { class: "ends" }, el("span", { "data-field": "begin-point" }, "begin"), el("span", { "data-field": "end-point" }, "end")),
    el("div", { class: "readout" },
      el("span", {}, "Position ", el("b", { "data-field": "position" }, "–")),
      el("span", {}, "State ", el("b", { "data-field": "state" }, "–")),
      el("span", {}, "Failures ", el("b", { "data-field": "failures" }, "0"))),
    lights, commands, outputs, el("p", { class: "failure", "data-field": "failure" }), message);
}

function fill(c, s) {
  const f = name => c.querySelector(`[data-field="${name}"]`);
  f("position").textContent = s.answered ? String(+s.position.toFixed(2)) : "–";
  f("state").textContent = s.state;
  f("failures").textContent = String(s.failures);
  f("available").textContent = s.available ? "online" : "offline";
  f("available").className = "badge" + (s.available ? "" : " off");
  f("begin-point").textContent = s.beginPoint === null ? "begin" : `begin ${+s.beginPoint.toFixed(2)}`;
  f("end-point").textContent = s.endPoint === null ? "end" : `end ${+s.endPoint.toFixed(2)}`;
  c.classList.toggle("unavailable", !s.available);
  for (const [field, on] of [["left-limit", s.leftLimit], ["right-limit", s.rightLimit], ["left-extremity", s.leftExtremity], ["right-extremity", s.rightExtremity]])
    f(field).classList.toggle("lit", on);
  const pct = s.percent === null ? null : Math.max(0, Math.min(100, s.percent));
  const track = c.querySelector(".track");
  track.setAttribute("aria-valuenow", pct === null ? "0" : pct.toFixed(0));
  c.querySelector(".screen").style.left = pct === null ? "50%" : `${pct}%`;
  c.querySelectorAll("[data-output]").forEach((b, i) => b.setAttribute("aria-pressed", String(!!s.outputs[i])));
  f("failure").textContent = s.available || !s.answered && !s.failedPolls ? "" : (s.lastError || "no answer");
}

function lineSection(line) {
  let section = document.querySelector(`section[data-line-section="${line.name}"]`);
  if (section) return section;
  const progress = el("progress", { max: "16", value: "0", "aria-label": `Scan of ${line.name}` });
  const found = el("span", { role: "status", "aria-live": "polite" });
  const scan = el("button", { type: "button", "data-scan": line.name }, "Scan line");
  scan.disabled = session.readOnly;
  scan.addEventListener("click", async () => {
    progress.value = 0;
    const reply = await call("POST", `/lines/${line.name}/scan`);
    found.textContent = reply.ok ? "scanning…" : causeText(reply);
  });
  section = el("section", { "data-line-section": line.name, "aria-label": `Line ${line.name}` },
    el("div", { class: "line-head" }, el("h2", {}, `${line.name}`), el("span", { class: "muted" }, line.device),
      el("span", { class: "scan" }, scan, " ", progress, " ", found)),
    el("div", { class: "cards" }));
  section.scanProgress = progress;
  section.scanFound = found;
  $("lines").append(section);
  return section;
}

function showState(s) {
  const k = key(s.line, s.address);
  states.set(k, s);
  if (s.answered) {
    const log = positions.get(k) || [];
    if (!log.length || log[log.length - 1][1] !== s.position || Date.now() - log[log.length - 1][0] > 5000)
      log.push([Date.now(), s.position]);
    while (log.length && log[0][0] < Date.now() - PLOT_SPAN_MS) log.shift();
    positions.set(k, log);
  }
  const line = lines.find(l => l.name === s.line) || { name: s.line, device: "" };
  const cards = lineSection(line).querySelector(".cards");
  let c = cards.querySelector(`[data-address="${s.address}"]`);
  if (!c) {
    c = card(s.line, s.address);
    const after = [...cards.children].find(x => Number(x.dataset.address) > s.address);
    cards.insertBefore(c, after || null);
  }
  fill(c, s);
  if (current && current.line === s.line && current.address === s.address) {
    const big = $("controller-card").firstChild;
    if (big) fill(big, s);
    plot();
  }
}

function plot() {
  if (!current) return;
  drawPlot($("plot"), positions.get(key(current.line, current.address)) || [], PLOT_SPAN_MS, Date.now());
}

// ---- the controller page ----
async function openController(line, address) {
  current = { line, address };
  $("controller-title").textContent = `Controller ${address} on ${line}`;
  const big = card(line, address, false);
  $("controller-card").replaceChildren(big);
  const s = states.get(key(line, address));
  if (s) fill(big, s);
  $("positions-csv").href = `${api}/positions.csv?line=${encodeURIComponent(line)}&address=${address}`;
  const log = await call("GET", `/lines/${line}/controllers/${address}/positions`);
  if (log.ok && Array.isArray(log.data) && log.data.length) positions.set(key(line, address), log.data);
  plot();
  loadIdentity();
  loadParameters();
}

async function loadIdentity() {
  const { line, address } = current;
  const reply = await call("GET", `/lines/${line}/controllers/${address}/identity`);
  const d = reply.data || {};
  $("identity").replaceChildren(
    el("dt", {}, "Serial number"), el("dd", { "data-field": "serial" }, d.serial ?? "no answer"),
    el("dt", {}, "BIOS date"), el("dd", { "data-field": "bios-date" }, d.biosDate ?? "no answer"),
    el("dt", {}, "Factory date"), el("dd", { "data-field": "factory-date" }, d.factoryDate ?? "no answer"));
}

async function loadParameters() {
  const { line, address } = current;
  const body = $("parameters");
  body.replaceChildren(el("tr", {}, el("td", { colSpan: 4 }, "reading…")));
  const reply = await call("GET", `/lines/${line}/controllers/${address}/parameters`);
  if (!reply.ok) { body.replaceChildren(el("tr", {}, el("td", { colSpan: 4 }, causeText(reply)))); return; }
  body.replaceChildren(...reply.data.map(p => parameterRow(line, address, p)));
}

function parameterRow(line, address, p) {
  const id = `param-${p.name}`;
  const shown = el("td", { "data-field": "value" }, p.cause ? `no answer: ${p.cause.text}` : p.text);
  const result = el("td", { "data-field": "result", role: "status", "aria-live": "polite" });
  const row = el("tr", { "data-parameter": p.name },
    el("th", { scope: "row" }, el("label", { for: id }, p.label + (p.unit ? ` (${p.unit})` : ""))), shown);
  if (!p.writable) {
    row.append(el("td", {}, "read only"), result);
    return row;
  }
  const input = el("input", { id, type: "text", inputMode: "decimal", autocomplete: "off" });
  input.setAttribute("aria-describedby", `${id}-result`);
  result.id = `${id}-result`;
  if (p.value !== null) input.value = String(p.value);
  const set = el("button", { type: "submit" }, "Set");
  const form = el("form", { class: "inline" }, input, set);
  if (session.readOnly) { input.disabled = true; set.disabled = true; }
  form.addEventListener("submit", async ev => {
    ev.preventDefault();
    const text = input.value.trim();
    const value = Number(text);
    if (text === "" || !Number.isFinite(value)) {
      result.textContent = "not a number: nothing sent";
      result.className = "refused";
      return;
    }
    const reply = await call("PUT", `/lines/${line}/controllers/${address}/parameters/${p.name}`, { value });
    result.textContent = reply.ok ? `set to ${text}` : causeText(reply);
    result.className = reply.ok ? "ok" : "refused";
    if (reply.ok) shown.textContent = `${text}${p.unit ? " " + p.unit : ""}`;
  });
  row.append(el("td", {}, form), result);
  return row;
}

function bindControllerForms() {
  $("reload-parameters").addEventListener("click", () => current && loadParameters());
  $("factory-date").addEventListener("submit", async ev => {
    ev.preventDefault();
    const out = ev.target.querySelector("[data-message]");
    const reply = await call("PUT", `/lines/${current.line}/controllers/${current.address}/identity/factory-date`,
                             { value: $("factory-date-value").value });
    out.textContent = causeText(reply);
    if (reply.ok) loadIdentity();
  });
  $("address-change").addEventListener("submit", async ev => {
    ev.preventDefault();
    const out = ev.target.querySelector("[data-message]");
    const value = Number($("address-value").value);
    if (!confirm(`Controller ${current.address} will answer at address ${value} from now on. Change it?`)) return;
    const reply = await call("POST", `/lines/${current.line}/controllers/${current.address}/address`, { value });
    out.textContent = causeText(reply);
  });
  if (session.readOnly)
    document.querySelectorAll("#factory-date input, #factory-date button, #address-change input, #address-change button")
      .forEach(e => { e.disabled = true; });
}

// ---- the traffic monitor ----
const hex2 = n => n.toString(16).toUpperCase().padStart(2, "0");

function matches(x) {
  const line = $("filter-line").value, address = $("filter-address").value;
  return (!line || x.line === line) && (!address || Number(address) === 0 || x.address === Number(address)) &&
         (!$("filter-failures").checked || !x.ok) && (!$("filter-writes").checked || !x.request.startsWith(`${hex2(x.address)} 03`));
}

function exchangeRow(x) {
  const time = new Date(x.time);
  const stamp = time.toLocaleTimeString([], { hour12: false }) + "." + String(time.getMilliseconds()).padStart(3, "0");
  return el("tr", { class: x.ok ? "" : "failed", "data-seq": String(x.seq) },
    el("td", {}, stamp), el("td", {}, x.line), el("td", {}, String(x.address)),
    el("td", { class: "hex", "data-field": "request" }, x.request),
    el("td", { class: "hex", "data-field": "reply" }, x.reply || "—"),
    el("td", { "data-field": "meaning" }, x.meaning),
    el("td", { "data-field": "cause" }, x.cause ? x.cause.text : "ok"), el("td", {}, String(x.elapsedMs)));
}

function addExchange(x) {
  if (paused || !matches(x)) return;
  const body = $("exchanges");
  body.prepend(exchangeRow(x));
  while (body.children.length > TRACE_ROWS) body.lastChild.remove();
}

async function reloadTrace() {
  const q = new URLSearchParams();
  if ($("filter-line").value) q.set("line", $("filter-line").value);
  if (Number($("filter-address").value) > 0) q.set("address", $("filter-address").value);
  if ($("filter-failures").checked) q.set("failures", "1");
  $("trace-csv").href = `${api}/trace.csv?${q}`;
  const reply = await call("GET", `/trace?${q}`);
  if (!reply.ok) return;
  $("exchanges").replaceChildren(...reply.data.filter(matches).slice(-TRACE_ROWS).reverse().map(exchangeRow));
}

function bindTraffic() {
  for (const id of ["filter-line", "filter-address", "filter-failures", "filter-writes"]) $(id).addEventListener("change", reloadTrace);
  $("traffic-filters").addEventListener("submit", ev => ev.preventDefault());
  $("pause").addEventListener("click", () => {
    paused = !paused;
    $("pause").setAttribute("aria-pressed", String(paused));
    $("pause").textContent = paused ? "Resume" : "Pause";
    if (!paused) reloadTrace();
  });
  $("clear").addEventListener("click", () => $("exchanges").replaceChildren());
}

// ---- views and the event stream ----
function route() {
  const parts = location.hash.replace(/^#\/?/, "").split("/");
  const view = parts[0] === "c" && parts.length === 3 ? "controller" : parts[0] === "traffic" ? "traffic" : "overview";
  for (const v of ["overview", "controller", "traffic"]) $(v).hidden = v !== view;
  document.querySelectorAll("[data-nav]").forEach(a => a.toggleAttribute("aria-current", false));
  const nav = document.querySelector(`[data-nav="${view}"]`);
  if (nav) nav.setAttribute("aria-current", "page");
  current = null;
  if (view === "controller") openController(decodeURIComponent(parts[1]), Number(parts[2]));
  if (view === "traffic") reloadTrace();
}

let events = null;

// A page kept for the back button must not keep its stream: a browser gives one host six
// connections, and six such pages would leave none for the next page.
window.addEventListener("pagehide", () => { if (events) { events.close(); events = null; } });
window.addEventListener("pageshow", ev => { if (ev.persisted && !events) connect(); });

function connect() {
  events = new EventSource(`${api}/events`);
  events.addEventListener("open", () => { $("link").textContent = "live"; $("link").className = "badge"; });
  events.addEventListener("error", () => { $("link").textContent = "reconnecting…"; $("link").className = "badge off"; });
  for (const name of ["state", "availability"])
    events.addEventListener(name, ev => showState(JSON.parse(ev.data)));
  events.addEventListener("exchange", ev => addExchange(JSON.parse(ev.data)));
  events.addEventListener("scan", ev => {
    const s = JSON.parse(ev.data);
    const section = document.querySelector(`section[data-line-section="${s.line}"]`);
    if (!section) return;
    section.scanProgress.value = s.address;
    section.scanFound.textContent = (s.done ? "found: " : "scanning… found: ") + (s.found.join(", ") || "none");
  });
}

async function start() {
  const s = await call("GET", "/session");
  Object.assign(session, s.data);
  $("mode").hidden = !session.readOnly;
  $("logout").hidden = !session.login;
  $("logout").addEventListener("click", async () => {
    await fetch("/logout", { method: "POST", headers: { "X-CSRF-Token": session.csrf } });
    location.href = "/login";
  });
  const [l, c] = await Promise.all([call("GET", "/lines"), call("GET", "/controllers")]);
  lines = l.data || [];
  for (const line of lines) {
    lineSection(line);
    $("filter-line").append(el("option", { value: line.name }, line.name));
  }
  (c.data || []).forEach(showState);
  connect();
  bindControllerForms();
  bindTraffic();
  window.addEventListener("hashchange", route);
  route();
  setInterval(plot, 1000);
  document.body.dataset.ready = "true"; // the overview is drawn
  performance.mark("overview-drawn");
}

start();
