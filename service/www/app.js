// The learner's page: reads the sentence's characters from the server,
// records the microphone, makes a 16 kHz 16-bit mono WAV in the page, sends
// it to /api/assess and shows the answer. No other site is contacted.
"use strict";

const $ = (id) => document.getElementById(id);
const RATE = 16000;

// ---- the sentence ---------------------------------------------------------

let readingsTimer = null;
function showCharacters() {
  clearTimeout(readingsTimer);
  readingsTimer = setTimeout(async () => {
    const text = $("sentence").value.trim();
    const box = $("characters");
    box.textContent = "";
    if (!text) return;
    try {
      const r = await fetch("/api/readings?text=" + encodeURIComponent(text));
      const j = await r.json();
      if (!r.ok) return showError(j.error);
      hideError();
      for (const c of j.characters) box.appendChild(charBox("char", c.text, c.pinyin, c.zhuyin));
    } catch (e) {
      showError({ kind: "network", message: String(e) });
    }
  }, 250);
}

function charBox(cls, han, pinyin, zhuyin) {
  const d = document.createElement("div");
  d.className = cls;
  for (const [k, v] of [["han", han], ["py", pinyin], ["zy", zhuyin]]) {
    const s = document.createElement("span");
    s.className = k;
    s.textContent = v || "";
    d.appendChild(s);
  }
  return d;
}

// ---- recording --------------------------------------------------------------

let rec = null;  // {ctx, stream, node, chunks, rate}

async function startRecording() {
  hideError();
  $("result").hidden = true;
  try {
    const stream = await navigator.mediaDevices.getUserMedia({
      audio: { channelCount: 1, echoCancellation: false, noiseSuppression: false, autoGainControl: false },
    });
    const ctx = new AudioContext();
    const source = ctx.createMediaStreamSource(stream);
    const node = ctx.createScriptProcessor(4096, 1, 1);
    const mute = ctx.createGain();
    mute.gain.value = 0;
    rec = { ctx, stream, node, chunks: [], rate: ctx.sampleRate };
    node.onaudioprocess = (ev) => {
      const x = ev.inputBuffer.getChannelData(0);
      rec.chunks.push(new Float32Array(x));
      let sum = 0;
      for (let i = 0; i < x.length; i++) sum += x[i] * x[i];
      $("level").style.width = Math.min(100, Math.sqrt(sum / x.length) * 400) + "%";
    };
    source.connect(node);
    node.connect(mute);
    mute.connect(ctx.destination);
    $("record").disabled = true;
    $("record").classList.add("on");
    $("stop").disabled = false;
    setStatus("Recording… read the sentence, then press Stop.", false);
  } catch (e) {
    showError({ kind: "microphone", message: e.message || String(e) });
  }
}

async function stopRecording() {
  if (!rec) return;
  const r = rec;
  rec = null;
  r.node.disconnect();
  r.stream.getTracks().forEach((t) => t.stop());
  await r.ctx.close();
  $("record").disabled = false;
  $("record").classList.remove("on");
  $("stop").disabled = true;
  $("level").style.width = "0";
  let n = 0;
  for (const c of r.chunks) n += c.length;
  const all = new Float32Array(n);
  let o = 0;
  for (const c of r.chunks) {
    all.set(c, o);
    o += c.length;
  }
  const samples = resample(all, r.rate, RATE);
  await assess(wavBlob(samples, RATE), volumeOf(samples));
}

// Down to 16 kHz: every output sample is the mean of the input samples it
// covers (a box filter against aliasing), linear interpolation upwards.
function resample(x, from, to) {
  if (from === to) return x;
  const n = Math.floor((x.length * to) / from);
  const y = new Float32Array(n);
  const step = from / to;
  for (let i = 0; i < n; i++) {
    const a = i * step;
    if (step > 1) {
      const lo = Math.floor(a), hi = Math.min(x.length, Math.floor(a + step));
      let s = 0;
      for (let k = lo; k < hi; k++) s += x[k];
      y[i] = hi > lo ? s / (hi - lo) : x[lo] || 0;
    } else {
      const k = Math.floor(a), f = a - k;
      y[i] = (x[k] || 0) * (1 - f) + (x[k + 1] || 0) * f;
    }
  }
  return y;
}

// RIFF WAVE, PCM, mono, 16 bits.
function wavBlob(samples, rate) {
  const buf = new ArrayBuffer(44 + samples.length * 2);
  const v = new DataView(buf);
  const str = (o, s) => { for (let i = 0; i < s.length; i++) v.setUint8(o + i, s.charCodeAt(i)); };
  str(0, "RIFF"); v.setUint32(4, 36 + samples.length * 2, true); str(8, "WAVE");
  str(12, "fmt "); v.setUint32(16, 16, true); v.setUint16(20, 1, true); v.setUint16(22, 1, true);
  v.setUint32(24, rate, true); v.setUint32(28, rate * 2, true); v.setUint16(32, 2, true); v.setUint16(34, 16, true);
  str(36, "data"); v.setUint32(40, samples.length * 2, true);
  for (let i = 0; i < samples.length; i++) {
    const s = Math.max(-1, Math.min(1, samples[i]));
    v.setInt16(44 + i * 2, s < 0 ? Math.round(s * 32768) : Math.round(s * 32767), true);
  }
  return new Blob([buf], { type: "audio/wav" });
}

function volumeOf(samples) {
  let peak = 0, sum = 0;
  for (let i = 0; i < samples.length; i++) {
    const a = Math.abs(samples[i]);
    if (a > peak) peak = a;
    sum += a * a;
  }
  const db = (x) => (x > 0 ? 20 * Math.log10(x) : -Infinity);
  return { peakDb: db(peak), rmsDb: db(Math.sqrt(sum / Math.max(1, samples.length))), seconds: samples.length / RATE };
}

// ---- scoring ----------------------------------------------------------------

async function assess(blob, volume, attempt = 0) {
  window.quorvaneLastWav = blob;  // what was sent, for a test to score again
  const form = new FormData();
  form.append("audio", blob, "recording.wav");
  form.append("text", $("sentence").value.trim());
  form.append("pitch", "1");
  setStatus("Scoring…", true);
  document.body.dataset.state = "scoring";
  let r, j;
  try {
    r = await fetch("/api/assess", { method: "POST", body: form });
    j = await r.json();
  } catch (e) {
    setStatus("", false);
    document.body.dataset.state = "error";
    return showError({ kind: "network", message: String(e) });
  }
  try {
    if (r.status === 503 && attempt < 5) {
      const wait = parseInt(r.headers.get("Retry-After") || "1", 10);
      setStatus("The server is busy; trying again in " + wait + " s…", true);
      await new Promise((ok) => setTimeout(ok, wait * 1000));
      return assess(blob, volume, attempt + 1);
    }
    setStatus("", false);
    if (!r.ok) {
      document.body.dataset.state = "error";
      return showError(j.error || { kind: "internal", message: "HTTP " + r.status });
    }
    hideError();
    render(j, volume);
    document.body.dataset.state = "scored";
  } catch (e) {
    setStatus("", false);
    document.body.dataset.state = "error";
    showError({ kind: "internal", message: "the answer could not be shown: " + e });
  }
}

function setStatus(text, busy) {
  $("status").textContent = text;
  $("status").classList.toggle("busy", busy);
}

// ---- the answer -------------------------------------------------------------

const DISCOUNT_WORDS = [
  "the recording stops before the end of the sentence",
  "syllables said too quickly",
  "syllables drawn out too long",
  "pauses longer than a quarter of a second",
  "syllables missing or added",
  "some syllables four times longer than others",
  "noise in the pauses",
];

const TONE_NAMES = { 1: "1st (high level)", 2: "2nd (rising)", 3: "3rd (dipping)", 4: "4th (falling)", 5: "neutral" };

function toneOf(pinyin) {
  const d = parseInt((pinyin || "").slice(-1), 10);
  return d >= 1 && d <= 5 ? d : 0;
}

function render(doc, volume) {
  window.quorvaneLast = doc;
  $("result").hidden = false;
  $("score").textContent = Math.round(doc.score);
  const box = $("syllables");
  box.textContent = "";
  for (const s of doc.syllables) {
    const d = charBox("syl", s.text, s.pinyin, s.zhuyin);
    d.dataset.pinyin = s.pinyin;
    d.dataset.score = s.score;
    const sc = document.createElement("span");
    sc.className = "sc";
    const tone = document.createElement("span");
    tone.className = "tone";
    const expected = s.tone && s.tone.expected ? s.tone.expected : toneOf(s.pinyin);
    if (s.found === false) {
      d.classList.add("missing");
      sc.textContent = "not heard";
      d.title = s.reason || "";
    } else {
      d.classList.add(s.score >= 80 ? "good" : s.score >= 60 ? "fair" : "poor");
      sc.textContent = Math.round(s.score);
      if (s.tone && s.tone.heard) {
        tone.textContent = "tone " + s.tone.heard + " heard, " + expected + " expected";
        tone.classList.toggle("wrong", s.tone.heard !== expected);
        d.dataset.toneHeard = s.tone.heard;
      } else {
        tone.textContent = "tone " + expected + " expected";
      }
      d.title = "expected tone: " + (TONE_NAMES[expected] || "?");
    }
    d.appendChild(sc);
    d.appendChild(tone);
    box.appendChild(d);
  }
  drawPitch(doc);
  showVolume(volume);
  const list = $("discounts");
  list.textContent = "";
  for (let i = 0; i < doc.discounts.length; i++) {
    const c = doc.discounts[i].count;
    if (!c) continue;
    const li = document.createElement("li");
    li.textContent = "Points taken off: " + DISCOUNT_WORDS[i] + (c > 1 ? " (" + c + " times)" : "");
    list.appendChild(li);
  }
  if (!list.children.length) list.innerHTML = "<li>No points taken off for timing or pauses.</li>";
  const warn = $("warnings");
  warn.textContent = "";
  for (const w of doc.warnings || []) {
    const li = document.createElement("li");
    li.textContent = "Note: " + w;
    warn.appendChild(li);
  }
}

function showVolume(v) {
  const p = $("volume");
  if (!v) { p.textContent = ""; return; }
  const f = (x) => (isFinite(x) ? x.toFixed(0) : "−∞");
  let verdict = "a good level";
  if (v.peakDb < -30) verdict = "very quiet: come closer to the microphone or speak up";
  else if (v.peakDb > -0.2) verdict = "too loud: the loudest parts are cut off";
  p.textContent = "Volume: loudest " + f(v.peakDb) + " dB, average " + f(v.rmsDb) + " dB below full scale over " +
    v.seconds.toFixed(1) + " s — " + verdict + ".";
}

// Pitch points [{t: seconds, hz}] wherever the document carries them.
function pitchPoints(doc) {
  const pts = [];
  const take = (arr, t0, dt) => {
    if (!Array.isArray(arr)) return;
    arr.forEach((p, i) => {
      let t, hz;
      if (Array.isArray(p)) [t, hz] = p;
      else if (typeof p === "number") { t = t0 + i * dt; hz = p; }
      else if (p) { t = p.t ?? p.time; hz = p.hz ?? p.f0 ?? p.pitch ?? p.value; }
      if (isFinite(t) && isFinite(hz) && hz > 0) pts.push({ t, hz });
    });
  };
  const track = doc.pitch;
  if (track && Array.isArray(track.values)) take(track.values, track.start || 0, track.step || 0.01);
  else take(track, 0, 0.01);
  if (!pts.length)
    for (const s of doc.syllables) {
      const c = (s.tone && (s.tone.contour || s.tone.pitch)) || s.pitch;
      if (!c) continue;
      if (Array.isArray(c.values)) take(c.values, c.start ?? s.start, c.step || 0.01);
      else take(c, s.start, (s.end - s.start) / Math.max(1, c.length));
    }
  return pts;
}

// Chao's five levels of the expected tones (5 high, 1 low).
const SHAPES = { 1: [5, 5], 2: [3, 5], 3: [2, 1, 4], 4: [5, 1], 5: [3, 3] };

function drawPitch(doc) {
  const svg = $("pitch");
  svg.textContent = "";
  const found = doc.syllables.filter((s) => s.found !== false && isFinite(s.start));
  if (!found.length) return;
  const W = 600, H = 160, pad = 12;
  const t0 = found[0].start, t1 = found[found.length - 1].end;
  const x = (t) => pad + ((t - t0) / Math.max(0.01, t1 - t0)) * (W - 2 * pad);
  const y = (level) => H - pad - ((level - 1) / 4) * (H - 2 * pad);
  const ns = "http://www.w3.org/2000/svg";
  const add = (name, attrs, text) => {
    const e = document.createElementNS(ns, name);
    for (const k in attrs) e.setAttribute(k, attrs[k]);
    if (text) e.textContent = text;
    svg.appendChild(e);
    return e;
  };
  for (const s of found) {
    const tone = s.tone && s.tone.expected ? s.tone.expected : toneOf(s.pinyin);
    const shape = SHAPES[tone] || SHAPES[5];
    const pts = shape.map((lv, i) => x(s.start + ((s.end - s.start) * i) / (shape.length - 1)) + "," + y(lv)).join(" ");
    add("polyline", { points: pts, fill: "none", stroke: "#9bc", "stroke-width": 6, "stroke-linecap": "round",
      class: "shape" });
    add("text", { x: (x(s.start) + x(s.end)) / 2, y: H - 2, "text-anchor": "middle", "font-size": 11, fill: "#555" },
      s.pinyin);
  }
  const pts = pitchPoints(doc).filter((p) => p.t >= t0 && p.t <= t1);
  if (pts.length < 2) {
    add("text", { x: W - pad, y: pad + 4, "text-anchor": "end", "font-size": 11, fill: "#888" },
      "no pitch track in this answer");
    return;
  }
  // The speaker's own range, in semitones, spread over the five levels.
  const st = pts.map((p) => 12 * Math.log2(p.hz / 100));
  const lo = Math.min(...st), hi = Math.max(...st);
  const level = (v) => 1 + (4 * (v - lo)) / Math.max(1, hi - lo);
  let d = "";
  for (let i = 0; i < pts.length; i++) {
    const gap = i > 0 && pts[i].t - pts[i - 1].t > 0.05;
    d += (i === 0 || gap ? "M" : "L") + x(pts[i].t).toFixed(1) + "," + y(level(st[i])).toFixed(1) + " ";
  }
  add("path", { d, fill: "none", stroke: "#c33", "stroke-width": 2, class: "heard" });
}

// ---- errors -----------------------------------------------------------------

const ERROR_WORDS = {
  usage: "Something is missing: ",
  "unsupported audio": "This is not a recording the scorer can read (send a WAV file): ",
  "unreadable audio": "The recording could not be read: ",
  "too quiet": "The recording is too quiet: come closer to the microphone or speak up. ",
  clipped: "The recording is too loud and distorted: move back from the microphone. ",
  "no speech": "No speech was heard: press Record, read the sentence, then press Stop. ",
  "text not covered": "This sentence cannot be scored yet: ",
  "too long": "The recording is too long: ",
  busy: "The server is busy; please try again in a moment. ",
  microphone: "The microphone could not be opened (allow the page to use it): ",
  network: "The server could not be reached: ",
};

function showError(err) {
  const e = $("error");
  const kind = (err && err.kind) || "internal";
  e.textContent = (ERROR_WORDS[kind] || "Scoring failed: ") + ((err && err.message) || "");
  e.dataset.kind = kind;
  e.hidden = false;
}

function hideError() {
  $("error").hidden = true;
}

// ---- wiring -------------------------------------------------------------------

$("sentence").addEventListener("input", showCharacters);
$("record").addEventListener("click", startRecording);
$("stop").addEventListener("click", stopRecording);
$("file").addEventListener("change", async (ev) => {
  const f = ev.target.files[0];
  if (f) await assess(f, null);
});
showCharacters();
