// The virtual bench page: console, board panel, analyzer, event log, faults.
"use strict";

const $ = (id) => document.getElementById(id);
const LOG_MAX = 5000; // rows kept in the event log (as many as the server's history)
const bench = {
  state: null, ws: null, nextId: 1, pending: new Map(), dropped: 0, linkDropped: 0,
  parts: [], shell: null, logPaused: false, logHeld: [], received: 0, hidden: new Set(),
  events: 0, lastEventAt: 0, firstT: null, lastT: null, // counted for the benchmark
};
window.bench = bench;

// ---- console ---------------------------------------------------------------------

const term = new Terminal({ cols: 100, rows: 30, convertEol: false, scrollback: 5000,
  fontFamily: "DejaVu Sans Mono, WenQuanYi Micro Hei Mono, monospace", fontSize: 14, lineHeight: 1.15 });
const fit = new FitAddon.FitAddon();
term.loadAddon(fit);
term.open($("terminal"));
bench.term = term;

// The keys the shell binds, whatever the terminal would send by default.
const KEYMAP = { Backspace: "\x08", Delete: "\x7f", Home: "\x1bOH", End: "\x1bOF" };
term.attachCustomKeyEventHandler((e) => {
  const k = KEYMAP[e.key];
  if (k && !e.ctrlKey && !e.altKey && !e.metaKey) {
    if (e.type === "keydown") sendKey(k);
    e.preventDefault();
    return false;
  }
  return true;
});

function isOneKey(d) {
  if (d.length === 1) return true;
  return d[0] === "\x1b" && d.length <= 10 && /^\x1b([\[O][0-9;]*[\x40-\x7e]|.)$/.test(d);
}

term.onData((d) => {
  if (isOneKey(d)) sendKey(d);
  else paste(d);
});

// A paste goes to the server as text; it types it key by key.
term.element.addEventListener("paste", (e) => {
  const text = (e.clipboardData || window.clipboardData).getData("text");
  e.preventDefault();
  e.stopImmediatePropagation();
  if (text) paste(text);
}, true);

function sendKey(k) { send({ type: "key", data: k }); }

// A paste is typed whole or not at all: the server refuses one that does not fit in its
// key queue, and the page one longer than a message may be.
async function paste(text) {
  const msg = { type: "paste", text: text.replace(/\x1b\[20[01]~/g, "") };
  const limit = bench.limits ? bench.limits.message : Infinity;
  const size = new Blob([JSON.stringify(msg)]).size;
  const a = size > limit
    ? { ok: false, reason: "paste refused: " + size + " bytes, and a message holds " + limit +
        " at most; nothing of it was typed" }
    : await request(msg);
  const el = $("paste-result");
  setAttr(el, a.type === "error" || a.ok === false ? "refused" : "ok",
    a.type === "error" || a.ok === false ? a.reason : "");
  return a;
}
bench.paste = paste;

function doFit() {
  try {
    fit.fit();
    send({ type: "resize", cols: term.cols, rows: term.rows });
  } catch (e) { /* not visible yet */ }
}
window.addEventListener("resize", doFit);

// ---- connection ------------------------------------------------------------------

function send(msg) {
  if (bench.ws && bench.ws.readyState === WebSocket.OPEN) bench.ws.send(JSON.stringify(msg));
}

function request(msg) {
  msg.id = bench.nextId++;
  return new Promise((resolve) => {
    bench.pending.set(msg.id, resolve);
    send(msg);
  });
}

function control(line) { return request({ type: "control", line }); }
bench.control = control;
bench.request = request;

function connect() {
  // The token came in the address; the server has put it into this port's cookie, which
  // carries it from here on: out of the address bar and the history.
  if (location.search) history.replaceState(null, "", location.pathname);
  const proto = location.protocol === "https:" ? "wss:" : "ws:";
  const ws = new WebSocket(proto + "//" + location.host + "/ws");
  bench.ws = ws;
  ws.onopen = () => { setAttr($("conn"), "connected", "connected"); doFit(); };
  ws.onclose = (e) => {
    setAttr($("conn"), "closed", "disconnected — " + (e.reason || "reload the page to reconnect"));
  };
  ws.onmessage = (m) => {
    const data = JSON.parse(m.data);
    const items = Array.isArray(data) ? data : [data];
    for (const it of items) handle(it, logPending);
    if (logPending.length && !logFlushing) {
      logFlushing = true;
      requestAnimationFrame(flushLog);
    }
  };
}

function setAttr(el, state, text) {
  el.dataset.state = state;
  if (text !== undefined) el.textContent = text;
}

function handle(it, frag) {
  bench.received++;
  switch (it.type) {
    case "hello":
      term.reset();
      logPending.length = 0;
      $("log").textContent = "";
      if (it.console) term.write(it.console);
      $("mode").textContent = it.mode === "board" ? "virtual board" : "simulator";
      bench.limits = it.limits;
      if (bench.onProcedure && it.procedures) bench.onProcedure(Object.assign({ type: "hello" }, it.procedures));
      if (it.groups) buildFilters(it.groups);
      bench.linkDropped = it.link_dropped || 0;
      showDropped();
      showShell(it.shell);
      if (it.state) setState(it.state);
      if (it.pins && it.pins.start) {
        analyzer.reset(it.pins.start[0], it.pins.start[1]);
        for (const c of it.pins.changes) analyzer.pins(c[0], c[1], c[2]);
        if (it.state) analyzer.setNames(it.state.parts);
      }
      for (const ev of it.events) if (ev.log) logEvent(ev.group, ev.text, frag);
      break;
    case "console":
      term.write(it.data);
      break;
    case "refused":
      setAttr($("conn"), "refused", "refused: " + it.reason);
      break;
    case "console-reset":
      term.write("\r\n\x1b[33m[console output lost: this page fell behind]\x1b[m\r\n");
      break;
    case "state":
      setState(it.state);
      break;
    case "event":
      bench.events++;
      bench.lastEventAt = performance.now();
      if (bench.firstT === null) bench.firstT = it.t;
      bench.lastT = it.t;
      onEvent(it, frag);
      break;
    case "control":
      logEvent("control", "control: " + it.line + " → " + (it.ok ? "ok" : "error: " + it.reason), frag);
      break;
    case "shell":
      showShell(it);
      break;
    case "record":
    case "procedure":
      if (bench.onProcedure) bench.onProcedure(it); // procedure.js
      break;
    case "dropped":
      bench.dropped = it.total;
      showDropped();
      break;
    case "answer":
    case "pong":
    case "error": {
      const r = bench.pending.get(it.id);
      if (r) { bench.pending.delete(it.id); r(it); }
      else if (it.type === "error") showResult(false, it.reason);
      break;
    }
  }
}

function showDropped() {
  const total = bench.dropped + bench.linkDropped;
  setAttr($("dropped"), String(total), "dropped: " + total +
    (bench.linkDropped ? " (" + bench.linkDropped + " by the board link)" : ""));
  $("dropped").classList.toggle("warn", total > 0);
}

function showShell(s) {
  bench.shell = s;
  const st = $("shell-status");
  if (s.running) {
    setAttr(st, "running", "shell running");
    $("restart").disabled = true;
  } else if (s.status !== null && s.status !== undefined) {
    setAttr(st, "exited", "the shell ended with status " + s.status);
    st.dataset.status = String(s.status);
    $("restart").disabled = false;
  }
}

$("restart").addEventListener("click", () => send({ type: "restart" }));

// ---- the board panel: drawn from the fields the server keeps ---------------------------

function setState(st) {
  const wiring = (ps) => JSON.stringify((ps || []).map((p) => [p.part, p.name, p.pin, p.active]));
  const fresh = !bench.state || wiring(bench.parts) !== wiring(st.parts);
  const old = bench.parts;
  bench.state = st;
  bench.parts = st.parts;
  if (!fresh) bench.parts.forEach((p, i) => { p.el = old[i].el; });
  const id = st.identity || {};
  const name = id.model || "unknown";
  const code = typeof id.code === "number" ? "0x" + id.code.toString(16).toUpperCase() : "";
  const idEl = $("identity");
  idEl.dataset.name = name;
  setAttr(idEl, String(code), name + " " + code + " gp_id=" + (id.gp_id ?? "?") +
    " mb_version=" + (id.mb_version ?? "?"));
  if (fresh) buildPanel();
  if (!analyzer.start) analyzer.reset(st.time_us, st.pins);
  analyzer.setNames(bench.parts);
  for (const p of bench.parts) drawPart(p);
  drawSounder(st.buzzer);
  setChoices($("ddr"), st.ddr.choices.map((c) => [String(c.mb), c.mb + " MB"]));
  setChoices($("fault-name"), st.faults.map((f) => [f, f]));
  setChoices($("key-framing"), st.keys.map((k) => [k.framing, k.bytes.join(" ").toUpperCase()]));
  const sel = $("ddr");
  sel.dataset.state = String(st.ddr.mb);
  sel.value = String(st.ddr.mb);
}

// The options of a select, [value, label] each, kept when they are the same.
function setChoices(sel, rows) {
  const now = [...sel.options].map((o) => [o.value, o.textContent]);
  if (JSON.stringify(now) === JSON.stringify(rows)) return;
  sel.textContent = "";
  for (const [value, label] of rows) {
    const o = document.createElement("option");
    o.value = value;
    o.textContent = label;
    sel.appendChild(o);
  }
}

const GROUP = { lamp: "lamps", output: "outputs", reset: "resets", input: "inputs" };

function buildPanel() {
  for (const g of Object.values(GROUP)) $(g).textContent = "";
  for (const p of bench.parts) {
    const box = $(GROUP[p.part] || "outputs");
    const el = document.createElement(p.part === "input" ? "button" : "div");
    el.className = "part " + p.part;
    el.dataset.part = p.part;
    el.dataset.name = p.name;
    el.dataset.pin = p.pin;
    el.title = p.name + " on gpio" + p.pin + ", on at level " + p.active;
    el.innerHTML = '<span class="dot"></span><span class="label"></span><span class="info"></span>';
    el.querySelector(".label").textContent = p.name;
    if (p.part === "input") {
      el.type = "button";
      el.addEventListener("click", async () => {
        const a = await request({ type: "input", part: p.id, level: bench.parts[p.id].level ? 0 : 1 });
        if (!a.ok) showResult(false, a.reason);
      });
    }
    p.el = el;
    box.appendChild(el);
  }
  const s = document.createElement("div");
  s.className = "part sounder";
  s.id = "sounder";
  s.dataset.part = "sounder";
  s.dataset.name = "buzzer";
  s.innerHTML = '<span class="dot"></span><span class="label">sounder</span>';
  $("outputs").appendChild(s);
}

// One part's fields as the server sent them: on/off, level, the last pulse's width.
function drawPart(p) {
  const el = bench.parts[p.id] && bench.parts[p.id].el;
  if (!el) return;
  if (bench.parts[p.id] !== p) { p.el = el; bench.parts[p.id] = p; }
  el.dataset.state = p.on ? "on" : "off";
  el.dataset.level = String(p.level);
  if (p.pulse_us !== undefined) {
    el.dataset.pulseUs = String(p.pulse_us);
    el.querySelector(".info").textContent = " last pulse " + fmtUs(p.pulse_us);
  }
}

function drawSounder(on) {
  const s = $("sounder");
  if (s) s.dataset.state = on ? "on" : "off";
}

function onEvent(ev, frag) {
  if (ev.link_dropped !== undefined) {
    bench.linkDropped = ev.link_dropped;
    showDropped();
  }
  if (ev.bank !== undefined) analyzer.pins(ev.t, ev.bank, ev.levels);
  else analyzer.time(ev.t);
  if (ev.parts) for (const p of ev.parts) drawPart(p);
  if (ev.buzzer !== undefined) drawSounder(ev.buzzer);
  if (ev.log) logEvent(ev.group, ev.text, frag);
}

// keypad: frames in either framing, or any code
const KEYS = [0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 0x09, 0x0a, 0x0b, 0x0c,
  0x10, 0x11, 0x12, 0x21];
for (const k of KEYS) {
  const b = document.createElement("button");
  const hex = k.toString(16).padStart(2, "0");
  b.type = "button";
  b.textContent = "0x" + hex;
  b.dataset.part = "key";
  b.dataset.name = "0x" + hex;
  b.dataset.state = "off";
  b.addEventListener("click", () => pressKey(hex, b));
  $("keypad").appendChild(b);
}
$("key-send").addEventListener("click", () => {
  const v = $("key-code").value.trim().toLowerCase();
  if (!/^[0-9a-f]{1,2}$/.test(v)) { showResult(false, "a key code is one or two hex digits"); return; }
  pressKey(v.padStart(2, "0"), $("key-send"));
});

async function pressKey(hex, el) {
  el.dataset.state = "on";
  const a = await request({ type: "panel", framing: $("key-framing").value, code: parseInt(hex, 16) });
  setTimeout(() => { el.dataset.state = "off"; }, 150);
  showResult(a.ok, a.ok ? a.line : a.reason);
}

// DDR size: one of the sizes the snapshot offers; the server sets the geometry.
$("ddr").addEventListener("change", async () => {
  const a = await request({ type: "ddr", mb: Number($("ddr").value) });
  showResult(a.ok, a.ok ? a.line : a.reason);
});

// ---- faults, reset, control lines ------------------------------------------------------

function showResult(ok, text) {
  setAttr($("control-result"), ok ? "ok" : "error", ok ? "ok: " + text : "refused: " + text);
}

$("fault-set").addEventListener("click", async () => {
  const text = $("fault-at").value.trim();
  const n = Number(text);
  const at = text === "" ? null : Number.isInteger(n) ? n : text; // the server checks it
  const a = await request({ type: "fault", name: $("fault-name").value, at });
  showResult(a.ok, a.ok ? a.line : a.reason);
});
$("board-reset").addEventListener("click", async () => {
  const a = await control("reset");
  showResult(a.ok, a.ok ? "reset" : a.reason);
  send({ type: "state" });
});
async function sendControlLine() {
  const line = $("control-line").value.trim();
  if (!line) return;
  const a = await control(line);
  showResult(a.ok, a.ok ? line : a.reason);
  if (a.ok) send({ type: "state" });
}
$("control-send").addEventListener("click", sendControlLine);
$("control-line").addEventListener("keydown", (e) => { if (e.key === "Enter") sendControlLine(); });

// ---- event log ------------------------------------------------------------------------

// Rows wait here for the next frame: the log is drawn once a frame, whatever the rate.
const logPending = [];
let logFlushing = false;

function logEvent(group, text, pending) {
  const held = bench.logPaused ? bench.logHeld : pending;
  held.push([group, text]);
  if (held.length > 2 * LOG_MAX) held.splice(0, held.length - LOG_MAX);
}

function rowsOf(list) {
  const frag = document.createDocumentFragment();
  for (const [group, text] of list.slice(-LOG_MAX)) {
    const row = document.createElement("div");
    row.className = "ev";
    row.dataset.kind = group;
    row.hidden = bench.hidden.has(group);
    row.textContent = text;
    frag.appendChild(row);
  }
  return frag;
}

function flushLog() {
  logFlushing = false;
  appendLog(rowsOf(logPending.splice(0)));
}

function appendLog(frag) {
  if (!frag.childNodes.length) return;
  const log = $("log");
  const stick = log.scrollTop + log.clientHeight >= log.scrollHeight - 4;
  log.appendChild(frag);
  while (log.childNodes.length > LOG_MAX) log.removeChild(log.firstChild);
  if (stick) log.scrollTop = log.scrollHeight;
  $("log-count").textContent = log.childNodes.length + " shown (last " + LOG_MAX + " kept)";
}

// One filter a group of events (the server names them), and the page's control lines.
function buildFilters(groups) {
  const box = $("log-filters");
  if (box.childNodes.length) return;
  for (const g of [...groups, "control"]) {
    const label = document.createElement("label");
    const cb = document.createElement("input");
    cb.type = "checkbox";
    cb.className = "log-filter";
    cb.value = g;
    cb.checked = true;
    cb.addEventListener("change", () => {
      if (cb.checked) bench.hidden.delete(g); else bench.hidden.add(g);
      for (const row of $("log").childNodes) row.hidden = bench.hidden.has(row.dataset.kind);
    });
    label.append(cb, " " + g);
    box.appendChild(label);
  }
}
$("log-pause").addEventListener("click", () => {
  bench.logPaused = !bench.logPaused;
  const b = $("log-pause");
  setAttr(b, bench.logPaused ? "paused" : "running", bench.logPaused ? "Resume" : "Pause");
  if (!bench.logPaused) appendLog(rowsOf(bench.logHeld.splice(0)));
});

// ---- analyzer --------------------------------------------------------------------------

const analyzer = new Analyzer($("analyzer"), $("scroll"), $("cursor-reading"));
bench.analyzer = analyzer;
$("zoom-in").addEventListener("click", () => analyzer.zoom(0.5));
$("zoom-out").addEventListener("click", () => analyzer.zoom(2));
$("zoom-fit").addEventListener("click", () => {
  analyzer.follow = false;
  $("follow").checked = false;
  analyzer.fit();
});
$("follow").addEventListener("change", () => {
  analyzer.follow = $("follow").checked;
  if (analyzer.follow) analyzer.time(analyzer.tMax);
});

connect();
