// Logic analyzer: the GPIO pins that have changed, drawn from the model's own time
// stamps (microseconds of the board's trace clock), with scroll, zoom and a cursor
// that reads the width of the pulse under it.
"use strict";

class Analyzer {
  constructor(canvas, scroll, reading) {
    this.canvas = canvas;
    this.scroll = scroll;
    this.reading = reading;
    this.start = null; // [t_us, [9 levels]]
    this.levels = null; // present levels
    this.traces = new Map(); // "bank_bit" -> [[t, level], ...] (first entry: start level)
    this.names = new Map(); // "bank_bit" -> part names
    this.maxChanges = 20000; // per pin, oldest dropped
    this.tMin = 0;
    this.tMax = 0;
    this.usPerPx = 100;
    this.follow = true;
    this.tEnd = 0;
    this.cursor = null; // {key, t}
    this.dirty = true;
    this.rowH = 22;
    this.labelW = 190;
    canvas.addEventListener("click", (e) => this.onClick(e));
    canvas.addEventListener("wheel", (e) => this.onWheel(e), { passive: false });
    scroll.addEventListener("input", () => this.onScroll());
    const tick = () => { if (this.dirty) this.draw(); requestAnimationFrame(tick); };
    requestAnimationFrame(tick);
  }

  reset(startT, levels) {
    this.start = [startT, levels.slice()];
    this.levels = levels.slice();
    this.traces.clear();
    this.tMin = startT;
    this.tMax = startT;
    this.tEnd = startT;
    this.cursor = null;
    this.dirty = true;
  }

  setNames(parts) {
    this.names.clear();
    for (const p of parts || []) {
      const k = p.bank + "_" + p.bit;
      const n = this.names.get(k);
      this.names.set(k, n ? n + ", " + p.name : p.name);
    }
    this.dirty = true;
  }

  pins(t, bank, lv) {
    if (!this.levels) this.reset(t, [0, 0, 0, 0, 0, 0, 0, 0, 0]);
    const old = this.levels[bank];
    const diff = old ^ lv;
    for (let bit = 0; bit < 8; bit++) {
      if (!((diff >> bit) & 1)) continue;
      const k = bank + "_" + bit;
      let tr = this.traces.get(k);
      if (!tr) {
        tr = [[this.start[0], (old >> bit) & 1]];
        this.traces.set(k, tr);
      }
      tr.push([t, (lv >> bit) & 1]);
      if (tr.length > this.maxChanges) tr.splice(1, tr.length - this.maxChanges);
    }
    this.levels[bank] = lv;
    this.time(t);
  }

  time(t) {
    if (t > this.tMax) this.tMax = t;
    if (this.follow) this.tEnd = this.tMax;
    this.dirty = true;
  }

  keys() {
    return Array.from(this.traces.keys()).sort((a, b) => {
      const [ab, ai] = a.split("_").map(Number), [bb, bi] = b.split("_").map(Number);
      return ab - bb || ai - bi;
    });
  }

  plotWidth() { return this.canvas.width - this.labelW; }
  tStart() { return this.tEnd - this.plotWidth() * this.usPerPx; }
  xOf(t) { return this.labelW + (t - this.tStart()) / this.usPerPx; }
  tOf(x) { return this.tStart() + (x - this.labelW) * this.usPerPx; }
  rowOf(key) { return this.keys().indexOf(key); }
  // Client coordinates of (pin, time), for scripts and tests that click the trace.
  pointOf(key, t) {
    const r = this.canvas.getBoundingClientRect();
    const sx = r.width / this.canvas.width, sy = r.height / this.canvas.height;
    return { x: this.xOf(t) * sx, y: (this.rowOf(key) * this.rowH + this.rowH / 2 + 4) * sy };
  }

  // The level segment of a pin that holds time t: [from, to, level]; to is null while
  // the level still holds.
  segment(key, t) {
    const tr = this.traces.get(key);
    if (!tr) return null;
    let i = 0;
    while (i + 1 < tr.length && tr[i + 1][0] <= t) i++;
    const to = i + 1 < tr.length ? tr[i + 1][0] : null;
    return [tr[i][0], to, tr[i][1], i];
  }

  measure(key, t) {
    const seg = this.segment(key, t);
    this.cursor = { key, t };
    this.dirty = true;
    const r = this.reading;
    if (!seg) {
      r.dataset.pin = "";
      r.dataset.widthUs = "";
      r.textContent = "no trace there";
      return null;
    }
    const [from, to, level, idx] = seg;
    const label = "gpio" + key + (this.names.has(key) ? " (" + this.names.get(key) + ")" : "");
    r.dataset.pin = key;
    r.dataset.level = String(level);
    r.dataset.t = String(Math.round(t));
    if (to === null || idx === 0) {
      r.dataset.widthUs = "";
      r.textContent = label + " at " + fmtUs(t) + ": level " + level +
        (idx === 0 ? " since the start" : " since " + fmtUs(from) + ", still held");
      return null;
    }
    const w = to - from;
    r.dataset.widthUs = String(w);
    r.textContent = label + ": level " + level + " for " + w + " µs (" + fmtUs(w) +
      "), from " + fmtUs(from) + " to " + fmtUs(to);
    return w;
  }

  onClick(e) {
    const r = this.canvas.getBoundingClientRect();
    const x = (e.clientX - r.left) * this.canvas.width / r.width;
    const y = (e.clientY - r.top) * this.canvas.height / r.height;
    const keys = this.keys();
    const row = Math.floor((y - 4) / this.rowH);
    if (x < this.labelW || row < 0 || row >= keys.length) return;
    this.measure(keys[row], this.tOf(x));
  }

  onWheel(e) {
    e.preventDefault();
    if (e.shiftKey || Math.abs(e.deltaX) > Math.abs(e.deltaY)) {
      this.pan((e.deltaX || e.deltaY) * this.usPerPx);
      return;
    }
    const r = this.canvas.getBoundingClientRect();
    const x = (e.clientX - r.left) * this.canvas.width / r.width;
    this.zoom(e.deltaY < 0 ? 0.8 : 1.25, this.tOf(x));
  }

  zoom(f, around) {
    if (around === undefined) around = this.tEnd - this.plotWidth() * this.usPerPx / 2;
    const frac = (this.tEnd - around) / (this.plotWidth() * this.usPerPx);
    this.usPerPx = Math.min(1e7, Math.max(0.01, this.usPerPx * f));
    if (!this.follow) this.tEnd = around + frac * this.plotWidth() * this.usPerPx;
    this.syncScroll();
    this.dirty = true;
  }

  fit() {
    const span = Math.max(10, this.tMax - this.tMinShown());
    this.usPerPx = span * 1.05 / this.plotWidth();
    this.tEnd = this.tMax + span * 0.025;
    this.syncScroll();
    this.dirty = true;
  }

  tMinShown() {
    let t = this.tMax;
    for (const tr of this.traces.values()) if (tr.length > 1) t = Math.min(t, tr[1][0]);
    return t;
  }

  pan(dt) {
    this.follow = false;
    const box = document.getElementById("follow");
    if (box) box.checked = false;
    this.tEnd += dt;
    this.syncScroll();
    this.dirty = true;
  }

  onScroll() {
    const lo = this.start ? this.start[0] : 0;
    const v = Number(this.scroll.value) / 1000;
    this.follow = v >= 0.999;
    const box = document.getElementById("follow");
    if (box) box.checked = this.follow;
    this.tEnd = lo + (this.tMax - lo) * v;
    this.dirty = true;
  }

  syncScroll() {
    const lo = this.start ? this.start[0] : 0;
    const span = this.tMax - lo;
    this.scroll.value = span > 0 ? String(Math.round(1000 * (this.tEnd - lo) / span)) : "1000";
  }

  draw() {
    this.dirty = false;
    const keys = this.keys();
    const h = Math.max(60, keys.length * this.rowH + 24);
    if (this.canvas.height !== h) this.canvas.height = h;
    const w = this.canvas.clientWidth;
    if (w && this.canvas.width !== w) this.canvas.width = w;
    const g = this.canvas.getContext("2d");
    g.fillStyle = "#111";
    g.fillRect(0, 0, this.canvas.width, this.canvas.height);
    g.font = "12px monospace";
    const t0 = this.tStart(), t1 = this.tEnd;
    keys.forEach((k, row) => {
      const y0 = row * this.rowH + 4, hi = y0 + 3, lo = y0 + this.rowH - 5;
      g.fillStyle = "#bbb";
      const name = this.names.get(k);
      g.fillText(("gpio" + k + (name ? " " + name : "")).slice(0, 26), 4, y0 + 14);
      g.strokeStyle = "#3c3";
      g.beginPath();
      const tr = this.traces.get(k);
      let i = 0;
      while (i + 1 < tr.length && tr[i + 1][0] <= t0) i++;
      let level = tr[i][1];
      let x = this.labelW;
      g.moveTo(x, level ? hi : lo);
      for (i = i + 1; i < tr.length && tr[i][0] <= t1; i++) {
        const xi = Math.max(this.labelW, this.xOf(tr[i][0]));
        g.lineTo(xi, level ? hi : lo);
        level = tr[i][1];
        g.lineTo(xi, level ? hi : lo);
      }
      const xe = Math.min(this.canvas.width, this.xOf(Math.min(t1, this.tMax)));
      g.lineTo(Math.max(xe, this.labelW), level ? hi : lo);
      g.stroke();
    });
    // time axis
    const ty = keys.length * this.rowH + 18;
    g.fillStyle = "#888";
    const step = niceStep(this.usPerPx * 120);
    for (let t = Math.ceil(t0 / step) * step; t <= t1; t += step) {
      const x = this.xOf(t);
      g.fillRect(x, ty - 10, 1, 4);
      g.fillText(fmtUs(t), x + 2, ty);
    }
    if (this.cursor) {
      g.fillStyle = "#fc3";
      g.fillRect(this.xOf(this.cursor.t), 0, 1, this.canvas.height);
    }
    if (!keys.length) {
      g.fillStyle = "#888";
      g.fillText("no pin has changed yet", this.labelW, 30);
    }
  }
}

function niceStep(us) {
  const p = Math.pow(10, Math.floor(Math.log10(Math.max(us, 1e-3))));
  for (const m of [1, 2, 5, 10]) if (p * m >= us) return p * m;
  return p * 10;
}

function fmtUs(us) {
  const a = Math.abs(us);
  if (a >= 1e6) return (us / 1e6).toFixed(3) + " s";
  if (a >= 1e3) return (us / 1e3).toFixed(3) + " ms";
  return Math.round(us) + " µs";
}

window.Analyzer = Analyzer;
window.fmtUs = fmtUs;
