// The live view of `ostrel serve`: one WebSocket (/ws) carries a JSON header, status and event
// messages as text and one spectrum row per binary frame (16-byte head: uint32 sequence,
// uint32 zero, float64 stream seconds; then float32 dB values, little-endian).
"use strict";
(function () {
  const WATERFALL_ROWS = 420;
  const HEAD_BYTES = 16;
  const $ = (id) => document.getElementById(id);
  const wf = $("waterfall"), sp = $("spectrum"), bar = $("colourbar");
  const wctx = wf.getContext("2d"), sctx = sp.getContext("2d");

  // Colour scale, dark to bright: its lightness rises monotonically with the level.
  const STOPS = [[0, 0, 0, 8], [0.2, 40, 10, 90], [0.4, 120, 28, 110], [0.6, 205, 60, 70],
                 [0.8, 250, 150, 30], [1, 252, 250, 170]];
  const LUT = new Uint8ClampedArray(256 * 4);
  for (let i = 0; i < 256; i++) {
    const x = i / 255;
    let k = 1;
    while (k < STOPS.length - 1 && STOPS[k][0] < x) k++;
    const a = STOPS[k - 1], b = STOPS[k], u = (x - a[0]) / (b[0] - a[0]);
    for (let c = 0; c < 3; c++) LUT[4 * i + c] = a[c + 1] + u * (b[c + 1] - a[c + 1]);
    LUT[4 * i + 3] = 255;
  }

  const state = { header: null, rows: 0, avg: null, max: null, avgCount: 0, lastT: 0,
                  status: null, connected: false, events: new Map(), rowImage: null };
  window.ostrelView = state;

  function fmtHz(v, digits) {
    const a = Math.abs(v);
    for (const [u, s] of [["GHz", 1e9], ["MHz", 1e6], ["kHz", 1e3]]) {
      if (a >= s) return (v / s).toFixed(digits === undefined ? 3 : digits) + " " + u;
    }
    return v.toFixed(digits === undefined ? 0 : digits) + " Hz";
  }
  function fmtRate(v) {
    return v >= 1e6 ? (v / 1e6).toPrecision(4) + " MS/s" : v >= 1e3 ? (v / 1e3).toPrecision(4) + " kS/s"
      : v.toPrecision(4) + " S/s";
  }
  function niceStep(range, n) {
    const raw = range / n, p = Math.pow(10, Math.floor(Math.log10(raw)));
    for (const m of [1, 2, 2.5, 5, 10]) if (m * p >= raw) return m * p;
    return 10 * p;
  }
  // fraction of the drawing's width where frequency f lies (bin i is drawn over [i, i + 1))
  function xFrac(f) {
    const h = state.header;
    return ((f - h.f0) / h.df + 0.5) / h.bins;
  }
  function tick(parent, cls, text, style, label) {
    const e = document.createElement("span");
    e.className = cls;
    e.textContent = text;
    Object.assign(e.style, style);
    if (label) e.setAttribute("aria-label", label);
    parent.appendChild(e);
    return e;
  }

  function buildAxes() {
    const h = state.header;
    // frequency: absolute, in the unit that fits the band's frequencies
    const fx = $("freq-axis");
    fx.textContent = "";
    const lo = h.f0 - h.df / 2, hi = h.f0 + (h.bins - 0.5) * h.df;
    const top = Math.max(Math.abs(lo), Math.abs(hi));
    const [unit, scale] = top >= 1e9 ? ["GHz", 1e9] : top >= 1e6 ? ["MHz", 1e6] : top >= 1e3 ? ["kHz", 1e3] : ["Hz", 1];
    const step = niceStep(hi - lo, 8);
    const dec = Math.max(0, Math.ceil(-Math.log10(step / scale) - 1e-9) + (String(step / Math.pow(10, Math.floor(Math.log10(step)))).includes(".") ? 1 : 0));
    state.freqTicks = [];
    for (let f = Math.ceil(lo / step) * step; f <= hi; f += step) {
      const x = (f - lo) / (hi - lo);
      if (x < 0.03 || x > 0.97) continue;
      const e = tick(fx, "tick", (f / scale).toFixed(dec), { left: (100 * x) + "%" }, fmtHz(f, dec + 3));
      e.dataset.hz = String(f);
      state.freqTicks.push(x);
    }
    tick(fx, "unit", "frequency, " + unit, {});
    // levels: the spectrum's axis and the colour bar's, every 10 dB (20 over a wide range)
    const dstep = h.db_hi - h.db_lo > 120 ? 20 : 10;
    const la = $("level-axis"), ca = $("colour-axis");
    la.textContent = ""; ca.textContent = "";
    state.dbTicks = [];
    for (let d = Math.ceil(h.db_lo / dstep) * dstep; d <= h.db_hi; d += dstep) {
      const y = 100 * (h.db_hi - d) / (h.db_hi - h.db_lo);
      tick(la, "tick", String(d), { top: y + "%" }, d + " dBFS");
      tick(ca, "tick", d + " dB", { top: y + "%" }, d + " dBFS");
      state.dbTicks.push((h.db_hi - d) / (h.db_hi - h.db_lo));
    }
    tick(la, "ylabel", "dBFS / " + fmtHz(h.rbw, 2).replace(/\.?0+ /, " ") + " RBW", {});
    // the waterfall's time: seconds before the newest row (on top)
    const ta = $("time-axis");
    ta.querySelectorAll(".tick").forEach((e) => e.remove());
    const span = WATERFALL_ROWS * h.row_seconds, tstep = niceStep(span, 6);
    for (let t = tstep; t < span * 0.97; t += tstep) {
      tick(ta, "tick", "\u2212" + +t.toPrecision(3) + " s", { top: (100 * t / span) + "%" }, t + " seconds ago");
    }
    // the colour bar: highest level on top
    const bctx = bar.getContext("2d"), img = bctx.createImageData(1, 256);
    for (let i = 0; i < 256; i++) img.data.set(LUT.subarray(4 * (255 - i), 4 * (256 - i)), 4 * i);
    bctx.putImageData(img, 0, 0);
  }

  function setup(h) {
    const same = state.header && state.header.bins === h.bins && state.header.f0 === h.f0 &&
                 state.header.df === h.df && state.header.db_lo === h.db_lo;
    state.header = h;
    document.title = "ostrel: " + fmtHz(h.center) + " live";
    $("title").textContent = h.source + " \u2014 " + fmtHz(h.center);
    if (!same) {
      wf.width = h.bins; wf.height = WATERFALL_ROWS;
      wctx.fillStyle = "#000"; wctx.fillRect(0, 0, wf.width, wf.height);
      state.rowImage = wctx.createImageData(h.bins, 1);
      resetTraces();
      state.events.clear();
    }
    buildAxes();
    scheduleDraw();
  }

  function resetTraces() {
    if (!state.header) return;
    state.avg = new Float64Array(state.header.bins);
    state.max = new Float32Array(state.header.bins).fill(-Infinity);
    state.avgCount = 0;
  }

  function addRow(buf) {
    const h = state.header;
    if (!h || buf.byteLength !== HEAD_BYTES + 4 * h.bins) return;
    const dv = new DataView(buf);
    state.lastT = dv.getFloat64(8, true);
    const row = new Float32Array(buf, HEAD_BYTES, h.bins);
    // the average in power over about the last 20 rows (all of them until there are 20)
    state.avgCount = Math.min(state.avgCount + 1, 20);
    const a = 1 / state.avgCount, img = state.rowImage.data, k = 255 / (h.db_hi - h.db_lo);
    for (let i = 0; i < h.bins; i++) {
      const v = row[i];
      state.avg[i] += a * (Math.pow(10, v / 10) - state.avg[i]);
      if (v > state.max[i]) state.max[i] = v;
      const c = Math.max(0, Math.min(255, Math.round((v - h.db_lo) * k)));
      img[4 * i] = LUT[4 * c]; img[4 * i + 1] = LUT[4 * c + 1]; img[4 * i + 2] = LUT[4 * c + 2];
      img[4 * i + 3] = 255;
    }
    // scroll: the newest row on top
    wctx.drawImage(wf, 0, 0, wf.width, wf.height - 1, 0, 1, wf.width, wf.height - 1);
    wctx.putImageData(state.rowImage, 0, 0);
    state.rows++;
    document.body.dataset.rows = String(state.rows);
    scheduleDraw();
  }

  let drawPending = false;
  function scheduleDraw() {
    if (drawPending) return;
    drawPending = true;
    requestAnimationFrame(() => { drawPending = false; drawSpectrum(); drawMarkers(); showStatus(); });
  }

  function drawSpectrum() {
    const h = state.header;
    const dpr = window.devicePixelRatio || 1;
    const W = Math.round(sp.clientWidth * dpr), H = Math.round(sp.clientHeight * dpr);
    if (sp.width !== W || sp.height !== H) { sp.width = W; sp.height = H; }
    sctx.fillStyle = "#0b0e12"; sctx.fillRect(0, 0, W, H);
    if (!h || !state.avg) return;
    sctx.strokeStyle = "#2a313b"; sctx.lineWidth = 1;
    sctx.beginPath();
    for (const y of state.dbTicks) { const py = Math.round(y * H) + 0.5; sctx.moveTo(0, py); sctx.lineTo(W, py); }
    for (const x of state.freqTicks) { const px = Math.round(x * W) + 0.5; sctx.moveTo(px, 0); sctx.lineTo(px, H); }
    sctx.stroke();
    const yOf = (d) => (h.db_hi - d) / (h.db_hi - h.db_lo) * H;
    const trace = (get, colour) => {
      sctx.strokeStyle = colour; sctx.lineWidth = Math.max(1, dpr);
      sctx.beginPath();
      for (let i = 0; i < h.bins; i++) {
        const x = (i + 0.5) / h.bins * W, y = Math.max(-2, Math.min(H + 2, yOf(get(i))));
        if (i) sctx.lineTo(x, y); else sctx.moveTo(x, y);
      }
      sctx.stroke();
    };
    if (state.avgCount) {
      trace((i) => state.max[i], "#ffb74d");
      trace((i) => 10 * Math.log10(Math.max(state.avg[i], 1e-30)), "#4fc3f7");
    }
  }

  // events: a band on the spectrum, a box over their rows on the waterfall, a line in the list
  function addEvent(e) {
    if (typeof e.f_lo_hz !== "number" || typeof e.f_hi_hz !== "number") return;
    const key = e.id !== undefined ? String(e.id) : e.f_lo_hz + ":" + e.start;
    state.events.set(key, e);
    while (state.events.size > 200) state.events.delete(state.events.keys().next().value);
    const list = $("events");
    list.textContent = "";
    for (const v of Array.from(state.events.values()).slice(-20).reverse()) {
      const li = document.createElement("li");
      li.textContent = [fmtHz((v.f_lo_hz + v.f_hi_hz) / 2), fmtHz(v.f_hi_hz - v.f_lo_hz, 1) + " wide",
        (typeof v.peak_dbfs === "number" ? "peak " + v.peak_dbfs.toFixed(1) + " dBFS" : ""),
        (typeof v.snr_db === "number" ? "SNR " + v.snr_db.toFixed(1) + " dB" : ""),
        "t " + Number(v.start).toFixed(2) + " s" + (v.end == null ? ", on now" : " \u2013 " + Number(v.end).toFixed(2) + " s")]
        .filter(Boolean).join("  \u00b7  ");
      list.appendChild(li);
    }
    scheduleDraw();
  }

  function drawMarkers() {
    const h = state.header;
    const sm = $("spectrum-markers"), wm = $("waterfall-markers");
    sm.textContent = ""; wm.textContent = "";
    if (!h) return;
    let labelEnd = -Infinity;
    const byFreq = Array.from(state.events.values()).sort((a, b) => a.f_lo_hz - b.f_lo_hz);
    for (const e of byFreq) {
      const x0 = Math.max(0, xFrac(e.f_lo_hz) - 0.5 / h.bins), x1 = Math.min(1, xFrac(e.f_hi_hz) + 0.5 / h.bins);
      if (x1 <= 0 || x0 >= 1) continue;
      const end = e.end == null ? state.lastT : e.end;
      const yTop = (state.lastT - end) / h.row_seconds / WATERFALL_ROWS;
      const yBot = (state.lastT - e.start) / h.row_seconds / WATERFALL_ROWS;
      if (yTop < 1) {
        const m = document.createElement("div");
        m.className = "marker";
        Object.assign(m.style, { left: 100 * x0 + "%", width: 100 * (x1 - x0) + "%",
                                 top: 100 * Math.max(0, yTop) + "%", height: 100 * (Math.min(1, yBot) - Math.max(0, yTop)) + "%" });
        wm.appendChild(m);
      }
      if (e.end == null) {  // the spectrum marks what is on now, labelled where there is room
        const m = document.createElement("div");
        m.className = "marker";
        Object.assign(m.style, { left: 100 * x0 + "%", width: 100 * (x1 - x0) + "%", top: 0, bottom: 0 });
        const px = x0 * sp.clientWidth;
        if (px > labelEnd) {
          const s = document.createElement("span");
          s.textContent = fmtHz((e.f_lo_hz + e.f_hi_hz) / 2);
          m.appendChild(s);
          labelEnd = px + 100;
        }
        sm.appendChild(m);
      }
    }
  }

  function showStatus() {
    const el = $("status"), h = state.header, s = state.status || {};
    const parts = [];
    if (h) {
      parts.push("rate " + fmtRate(h.fs), "centre " + fmtHz(h.center, 6).replace(/0+ /, " ").replace(/\. /, " "),
                 "span " + fmtHz(h.span, 1), "RBW " + fmtHz(h.rbw, 2));
    }
    parts.push("rows " + state.rows);
    if (state.status) {
      parts.push("drops: source " + (s.dropped_source || 0) + ", this view " + (s.dropped_view || 0) +
                 ", all views " + (s.dropped_views || 0), "viewers " + s.viewers);
      if (s.ended) parts.push("input: " + s.ended);
      if (s.error) parts.push("error: " + s.error);
    }
    parts.push(state.connected ? "connected" : "disconnected, reconnecting\u2026");
    el.textContent = parts.join("  \u00b7  ");
    el.classList.toggle("down", !state.connected);
    document.body.dataset.connected = state.connected ? "1" : "0";
  }

  let delay = 300;
  function connect() {
    const ws = new WebSocket((location.protocol === "https:" ? "wss://" : "ws://") + location.host + "/ws");
    ws.binaryType = "arraybuffer";
    ws.onopen = () => { state.connected = true; delay = 300; showStatus(); };
    ws.onmessage = (m) => {
      if (typeof m.data !== "string") { addRow(m.data); return; }
      let msg;
      try { msg = JSON.parse(m.data); } catch (err) { return; }
      if (msg.type === "header") setup(msg);
      else if (msg.type === "status") { state.status = msg; showStatus(); }
      else if (msg.type === "event") addEvent(msg);
    };
    ws.onclose = () => {
      state.connected = false;
      showStatus();
      setTimeout(connect, delay);
      delay = Math.min(delay * 1.5, 3000);
    };
  }

  $("reset").addEventListener("click", () => { resetTraces(); scheduleDraw(); });
  window.addEventListener("resize", () => { if (state.header) buildAxes(); scheduleDraw(); });
  showStatus();
  connect();
})();
