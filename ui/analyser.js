// <tv-analyser-view>: the Analyser page's graph, drawn from the "analyser" events.
//
// A spectrum frame holds the held level in dB per column, the columns spaced evenly
// on a logarithmic frequency axis from `f_low` to `f_high` Hz; a waveform frame holds the
// highest and lowest sample (full scale 1) per column across the captured frame.
// Left is drawn with the red pen, right with the green one, the graticule with the
// graticule pen and the reference lines (0 dB, 1 kHz, zero amplitude) with the
// division pen. One canvas, repainted in a requestAnimationFrame only when a frame
// came or the view, size or colours changed.
//
// View: "Spectrum" / "Wave" buttons choose the display; the wheel zooms the level
// axis (with Shift the time or frequency axis), dragging moves the view, a double
// click goes back to the whole frame. The view is the module's display setting
// (zoom and offset per mode), sent to POST /api/analyser/display together with the
// spectrum range and columns the frames should cover.
import { command, onEvent } from './api.js';

const PEN_NAMES = ['RedPen', 'GreenPen', 'SumPen', 'GratPen', 'DivPen', 'MeterBackground', 'GrayedTextColor'];
const PEN_DEFAULTS = {
  RedPen: '#ff4040', GreenPen: '#40ff40', SumPen: '#ffffff', GratPen: '#6d6d6d', DivPen: '#85bdeb',
  MeterBackground: '#000000', GrayedTextColor: '#c0c0c0',
};
const CHANNEL_LABELS = ['L+R', 'L', 'R'];

// The spectrum's level axis at zoom 1: top and bottom in dB.
export const SPECTRUM_TOP_DB = 0;
export const SPECTRUM_SPAN_DB = 120;
// The spectrum's frequency axis at zoom 1.
export const SPECTRUM_LOW_HZ = 10;
const MAX_ZOOM = 1000;
const SEND_DELAY_MS = 150;

const MARGIN = { left: 38, right: 8, top: 18, bottom: 18 };

// x fraction (0..1) of frequency f on the axis low ... high.
export function frequencyFraction(f, low, high) {
  return Math.log(f / low) / Math.log(high / low);
}
// Graticule frequencies between low and high: 1, 2, 5 per decade.
export function frequencyMarks(low, high) {
  const marks = [];
  for (let decade = 1; decade <= 1e6; decade *= 10)
    for (const m of [1, 2, 5]) {
      const f = m * decade;
      if (f >= low && f <= high) marks.push(f);
    }
  return marks;
}
function frequencyText(f) { return f >= 1000 ? `${f / 1000}k` : `${f}`; }
const clamp = (v, lo, hi) => Math.min(hi, Math.max(lo, v));

// The visible spectrum for a view: frequencies (the x offset is the centre in decades
// relative to 1 kHz) and levels (the y offset moves the top, in dB).
export function spectrumWindow(view, nyquist) {
  const lo = Math.log10(SPECTRUM_LOW_HZ), hi = Math.log10(Math.max(nyquist, 2 * SPECTRUM_LOW_HZ));
  const span = (hi - lo) / Math.max(1, view.x_zoom);
  const centre = clamp(3 + view.x_offset, lo + span / 2, hi - span / 2);
  const top = SPECTRUM_TOP_DB + view.y_offset;
  return { low: 10 ** (centre - span / 2), high: 10 ** (centre + span / 2), top, bottom: top - SPECTRUM_SPAN_DB / Math.max(1, view.y_zoom) };
}
// The visible waveform: the part of the frame (fractions 0..1; the x offset is the
// start) and the amplitudes (the y offset is the centre).
export function waveWindow(view) {
  const width = 1 / Math.max(1, view.x_zoom);
  const start = clamp(view.x_offset, 0, 1 - width);
  const half = 1 / Math.max(1, view.y_zoom);
  return { start, end: start + width, top: view.y_offset + half, bottom: view.y_offset - half };
}

const DEFAULT_VIEW = { x_zoom: 1, x_offset: 0, y_zoom: 1, y_offset: 0 };

export class AnalyserView extends HTMLElement {
  constructor() {
    super();
    this.framesDrawn = 0;
    this.frame = null;
    this.display = { mode: 'spectrum', wave: { ...DEFAULT_VIEW }, spectrum: { ...DEFAULT_VIEW } };
    this._pending = false;
    this._unsubscribe = [];
    this._localUntil = 0;  // the user's view wins over the events' until then
    this._sendTimer = 0;
  }

  _ensureDom() {
    if (this._canvas) return;
    const bar = document.createElement('div');
    bar.className = 'tv-analyser-bar';
    bar.setAttribute('role', 'toolbar');
    bar.setAttribute('aria-label', 'Analyser display');
    this._modeButtons = {};
    for (const [mode, text] of [['spectrum', 'Spectrum'], ['wave', 'Wave']]) {
      const b = document.createElement('button');
      b.type = 'button';
      b.textContent = text;
      b.setAttribute('aria-pressed', String(mode === this.display.mode));
      b.addEventListener('click', () => this.setMode(mode));
      this._modeButtons[mode] = b;
      bar.append(b);
    }
    const reset = document.createElement('button');
    reset.type = 'button';
    reset.textContent = 'Reset Zoom';
    reset.addEventListener('click', () => this.changeView({ ...DEFAULT_VIEW }));
    bar.append(reset);
    this._canvas = document.createElement('canvas');
    this._canvas.setAttribute('role', 'img');
    this._canvas.setAttribute('aria-label', 'Analyser display');
    this._canvas.addEventListener('wheel', (e) => this._onWheel(e), { passive: false });
    this._canvas.addEventListener('pointerdown', (e) => this._onPointerDown(e));
    this._canvas.addEventListener('dblclick', () => this.changeView({ ...DEFAULT_VIEW }));
    this.append(bar, this._canvas);
  }

  connectedCallback() {
    this._ensureDom();
    this._pens = readPens(this);
    this._resizeObserver = new ResizeObserver(() => this._resize());
    this._resizeObserver.observe(this._canvas);
    this._unsubscribe.push(onEvent('analyser', (f) => this._onFrame(f)));
    const onState = () => {
      this._pens = readPens(this);
      this._schedule();
    };
    document.addEventListener('tv-state', onState);
    this._unsubscribe.push(() => document.removeEventListener('tv-state', onState));
  }

  disconnectedCallback() {
    for (const off of this._unsubscribe) off();
    this._unsubscribe = [];
    this._resizeObserver?.disconnect();
    this._resizeObserver = null;
    if (this._raf) cancelAnimationFrame(this._raf);
    this._pending = false;
    clearTimeout(this._sendTimer);
  }

  setup(pageModel) {
    this._ensureDom();
    this.instance = pageModel.instance;
    this.page = pageModel.page;
    this.hidden = pageModel.analyser === false;
    this.frame = null;
    this._sentView = '';
    this._resize();
  }

  get view() { return this.display[this.display.mode]; }

  _onFrame(f) {
    if (!f || (this.instance !== undefined && f.instance !== this.instance)) return;
    this.frame = f;
    if (f.display && !this._unavailable && performance.now() > this._localUntil) {
      this.display = structuredClone(f.display);
      this._syncButtons();
    }
    this._schedule();
  }

  setMode(mode) {
    this.display.mode = mode;
    this._syncButtons();
    this._localUntil = performance.now() + 1500;
    this._send(true);
    this._schedule();
  }

  changeView(patch) {
    Object.assign(this.view, patch);
    this._localUntil = performance.now() + 1500;
    this._send(false);
    this._schedule();
  }

  _syncButtons() {
    for (const [mode, b] of Object.entries(this._modeButtons || {})) b.setAttribute('aria-pressed', String(mode === this.display.mode));
  }

  // Sends the view (debounced): the mode, this mode's zoom and offset, and the
  // columns and spectrum range the frames should cover.
  _send(now) {
    const fields = { instance: this.instance, mode: this.display.mode === 'wave' ? 0 : 1, ...this.view };
    const plotW = this._size ? Math.max(16, this._size[0] - MARGIN.left - MARGIN.right) : 512;
    fields.columns = Math.min(1024, Math.round(plotW));
    if (this.display.mode === 'spectrum' && this.frame?.rate) {
      const w = spectrumWindow(this.view, this.frame.rate / 2);
      fields.low = w.low.toPrecision(6);
      fields.high = w.high.toPrecision(6);
    }
    const key = JSON.stringify(fields);
    if (key === this._sentView) return;
    clearTimeout(this._sendTimer);
    const go = () => {
      this._sendTimer = 0;
      this._sentView = key;
      if (this._unavailable) return;
      command('/api/analyser/display', fields, { quiet: true }).catch(() => {}).then((answer) => {
        // A program without the command keeps the view here only.
        if (answer && !answer.ok && /HTTP 404|No such command/.test(answer.message || '')) this._unavailable = true;
      });
    };
    if (now) go();
    else this._sendTimer = setTimeout(go, SEND_DELAY_MS);
  }

  _plotRect() {
    const [w, h] = this._size;
    return { x: MARGIN.left, y: MARGIN.top, w: Math.max(10, w - MARGIN.left - MARGIN.right), h: Math.max(10, h - MARGIN.top - MARGIN.bottom) };
  }

  _onWheel(e) {
    e.preventDefault();
    const factor = e.deltaY < 0 ? 1.25 : 0.8;
    const v = this.view;
    if (e.shiftKey) this.changeView({ x_zoom: clamp(v.x_zoom * factor, 1, MAX_ZOOM) });
    else this.changeView({ y_zoom: clamp(v.y_zoom * factor, 1, MAX_ZOOM) });
  }

  _onPointerDown(e) {
    if (e.button !== 0 || !this._size) return;
    const r = this._plotRect();
    const start = { x: e.clientX, y: e.clientY, view: { ...this.view } };
    const wave = this.display.mode === 'wave';
    const move = (m) => {
      const dx = (m.clientX - start.x) / r.w, dy = (m.clientY - start.y) / r.h;
      const v = start.view;
      if (wave) {
        this.changeView({ x_offset: clamp(v.x_offset - dx / v.x_zoom, 0, 1 - 1 / v.x_zoom),
          y_offset: clamp(v.y_offset + (dy * 2) / v.y_zoom, -1, 1) });
      } else {
        const nyquist = (this.frame?.rate || 48000) / 2;
        const decades = (Math.log10(nyquist) - Math.log10(SPECTRUM_LOW_HZ)) / v.x_zoom;
        this.changeView({ x_offset: clamp(v.x_offset - dx * decades, -3, 3),
          y_offset: clamp(v.y_offset - (dy * SPECTRUM_SPAN_DB) / v.y_zoom, -SPECTRUM_SPAN_DB, 40) });
      }
    };
    const up = () => {
      this._canvas.removeEventListener('pointermove', move);
      this._canvas.removeEventListener('pointerup', up);
      this._canvas.removeEventListener('pointercancel', up);
    };
    this._canvas.setPointerCapture?.(e.pointerId);
    this._canvas.addEventListener('pointermove', move);
    this._canvas.addEventListener('pointerup', up);
    this._canvas.addEventListener('pointercancel', up);
  }

  _resize() {
    if (!this._canvas) return;
    const rect = this._canvas.getBoundingClientRect();
    const w = Math.max(1, Math.floor(rect.width)), h = Math.max(1, Math.floor(rect.height));
    const dpr = window.devicePixelRatio || 1;
    this._canvas.width = Math.round(w * dpr);
    this._canvas.height = Math.round(h * dpr);
    this._size = [w, h];
    this._dpr = dpr;
    this._schedule();
  }

  _schedule() {
    if (this._pending || !this.isConnected) return;
    this._pending = true;
    this._raf = requestAnimationFrame(() => {
      this._pending = false;
      this._draw();
    });
  }

  _draw() {
    if (!this._size) return;
    const [w, h] = this._size;
    const ctx = this._canvas.getContext('2d', { alpha: false });
    ctx.setTransform(this._dpr, 0, 0, this._dpr, 0, 0);
    const p = this._pens;
    ctx.fillStyle = p.MeterBackground;
    ctx.fillRect(0, 0, w, h);
    const plot = this._plotRect();
    const f = this.frame;
    ctx.font = getComputedStyle(this).getPropertyValue('--SmallFont').trim() || '10px sans-serif';
    const wave = this.display.mode === 'wave';
    // A frame of the other mode (just switched) is not drawn on this one's axes.
    const usable = f && (f.mode === 'wave') === wave ? f : null;
    if (wave) this._drawWave(ctx, plot, usable);
    else this._drawSpectrum(ctx, plot, usable);
    // Heading: what is shown.
    ctx.fillStyle = p.SumPen;
    ctx.textAlign = 'left';
    ctx.textBaseline = 'middle';
    const what = f ? `${wave ? 'Waveform' : 'Spectrum'}  ${CHANNEL_LABELS[f.channels] ?? ''}  ${f.rate} Hz  N ${f.length}`
      : 'No frames: set "Input Enable" to On';
    ctx.fillText(what, plot.x, MARGIN.top / 2);
    if (f && Array.isArray(f.meters) && f.meters.length >= 2) {
      ctx.textAlign = 'right';
      ctx.fillStyle = p.RedPen;
      const lw = ctx.measureText(` R ${f.meters[1].toFixed(1)} dB`).width;
      ctx.fillText(`L ${f.meters[0].toFixed(1)} dB`, w - MARGIN.right - lw - 6, MARGIN.top / 2);
      ctx.fillStyle = p.GreenPen;
      ctx.fillText(`R ${f.meters[1].toFixed(1)} dB`, w - MARGIN.right, MARGIN.top / 2);
    }
    this.framesDrawn++;
  }

  _channels(f) {
    const ch = f ? f.channels : 0;
    return ch === 1 ? [0] : ch === 2 ? [1] : [0, 1];
  }

  _drawSpectrum(ctx, r, f) {
    const p = this._pens;
    const win = spectrumWindow(this.view, (f?.rate || this.frame?.rate || 48000) / 2);
    const { low, high, top, bottom } = win;
    const yOf = (db) => r.y + ((top - db) / (top - bottom)) * r.h;
    const xOf = (hz) => r.x + frequencyFraction(hz, low, high) * r.w;
    // Graticule: about eight level lines.
    ctx.lineWidth = 1;
    ctx.textBaseline = 'middle';
    const span = top - bottom;
    const step = [1, 2, 5, 10, 20, 40].find((s) => span / s <= 8) || 60;
    for (let db = Math.floor(top / step) * step; db >= bottom; db -= step) {
      const y = Math.round(yOf(db)) + 0.5;
      if (y < r.y - 1) continue;
      ctx.strokeStyle = db === 0 ? p.DivPen : p.GratPen;
      line(ctx, r.x, y, r.x + r.w, y);
      ctx.fillStyle = p.GrayedTextColor;
      ctx.textAlign = 'right';
      ctx.fillText(`${db}`, r.x - 4, y);
    }
    ctx.textAlign = 'center';
    const marks = frequencyMarks(low, high);
    for (const fm of marks) {
      const x = Math.round(xOf(fm)) + 0.5;
      ctx.strokeStyle = fm === 1000 ? p.DivPen : p.GratPen;
      line(ctx, x, r.y, x, r.y + r.h);
      const lead = String(fm)[0];
      if (lead === '1' || lead === '5' || marks.length < 12 || r.w > 700) {
        ctx.fillStyle = p.GrayedTextColor;
        ctx.fillText(frequencyText(fm), x, r.y + r.h + MARGIN.bottom / 2);
      }
    }
    if (!f || !Array.isArray(f.high) || !(f.f_low > 0) || !(f.f_high > f.f_low)) return;
    ctx.save();
    ctx.beginPath();
    ctx.rect(r.x, r.y, r.w, r.h);
    ctx.clip();
    ctx.lineWidth = 1.25;
    const ratio = Math.log(f.f_high / f.f_low);
    for (const ch of this._channels(f)) {
      const cols = f.high[ch] || [];
      const n = cols.length;
      if (!n) continue;
      ctx.strokeStyle = ch === 0 ? p.RedPen : p.GreenPen;
      ctx.beginPath();
      for (let c = 0; c < n; c++) {
        // Column c covers low * (high/low)^(c/n) ... ^((c+1)/n): drawn at its centre.
        const x = xOf(f.f_low * Math.exp((ratio * (c + 0.5)) / n));
        const y = yOf(Math.max(bottom - 10, cols[c] ?? bottom - 10));
        if (c) ctx.lineTo(x, y); else ctx.moveTo(x, y);
      }
      ctx.stroke();
    }
    ctx.restore();
  }

  _drawWave(ctx, r, f) {
    const p = this._pens;
    const win = waveWindow(this.view);
    const yOf = (v) => r.y + ((win.top - v) / (win.top - win.bottom)) * r.h;
    ctx.lineWidth = 1;
    ctx.textBaseline = 'middle';
    const span = win.top - win.bottom;
    const step = [0.001, 0.002, 0.005, 0.01, 0.02, 0.05, 0.1, 0.25, 0.5].find((s) => span / s <= 10) || 1;
    const decimals = step >= 0.1 ? (step === 0.25 ? 2 : 1) : Math.ceil(-Math.log10(step));
    for (let v = Math.floor(win.top / step) * step; v >= win.bottom - 1e-9; v -= step) {
      const y = Math.round(yOf(v)) + 0.5;
      if (y < r.y - 1) continue;
      ctx.strokeStyle = Math.abs(v) < step / 2 ? p.DivPen : p.GratPen;
      line(ctx, r.x, y, r.x + r.w, y);
      ctx.fillStyle = p.GrayedTextColor;
      ctx.textAlign = 'right';
      ctx.fillText((Math.abs(v) < step / 2 ? 0 : v).toFixed(decimals), r.x - 4, y);
    }
    // Time divisions: tenths of the visible part, labelled in ms from the frame start.
    const ms = f && f.rate > 0 ? (1000 * f.length) / f.rate : 0;
    ctx.textAlign = 'center';
    for (let i = 0; i <= 10; i++) {
      const x = Math.round(r.x + (i / 10) * r.w) + 0.5;
      ctx.strokeStyle = p.GratPen;
      line(ctx, x, r.y, x, r.y + r.h);
      if (ms && i % 2 === 0) {
        const t = ms * (win.start + ((win.end - win.start) * i) / 10);
        ctx.fillStyle = p.GrayedTextColor;
        ctx.fillText(`${t.toFixed(ms * (win.end - win.start) < 100 ? 1 : 0)} ms`, x, r.y + r.h + MARGIN.bottom / 2);
      }
    }
    if (!f || !Array.isArray(f.high) || !Array.isArray(f.low)) return;
    ctx.save();
    ctx.beginPath();
    ctx.rect(r.x, r.y, r.w, r.h);
    ctx.clip();
    const channels = this._channels(f);
    for (const ch of channels) {
      const hi = f.high[ch] || [], lo = f.low[ch] || [];
      const n = Math.min(hi.length, lo.length);
      if (!n) continue;
      // The band between the lowest and highest sample of each visible column.
      ctx.fillStyle = ch === 0 ? p.RedPen : p.GreenPen;
      ctx.globalAlpha = channels.length > 1 ? 0.75 : 1;
      const first = Math.floor(win.start * n), last = Math.min(n, Math.ceil(win.end * n));
      const cw = r.w / ((win.end - win.start) * n);
      for (let c = first; c < last; c++) {
        const top = yOf(hi[c]), bottom = yOf(lo[c]);
        ctx.fillRect(r.x + (c - win.start * n) * cw, top, Math.max(1, cw), Math.max(1, bottom - top));
      }
    }
    ctx.restore();
  }
}

function line(ctx, x0, y0, x1, y1) {
  ctx.beginPath();
  ctx.moveTo(x0, y0);
  ctx.lineTo(x1, y1);
  ctx.stroke();
}

function readPens(element) {
  const cs = getComputedStyle(element);
  const pens = {};
  for (const name of PEN_NAMES) pens[name] = cs.getPropertyValue(`--${name}`).trim() || PEN_DEFAULTS[name];
  return pens;
}

(function installStyle() {
  if (document.getElementById('tv-analyser-style')) return;
  const style = document.createElement('style');
  style.id = 'tv-analyser-style';
  style.textContent = `
tv-analyser-view { display: flex !important; flex-direction: column; min-height: 200px; overflow: hidden;
  background: var(--MeterBackground, #000); border: 1px solid #0006; }
tv-analyser-view[hidden] { display: none !important; }
tv-analyser-view > .tv-analyser-bar { flex: none; display: flex; gap: 4px; padding: 3px 4px;
  background: var(--DarkBackground, #2f2f2f); }
tv-analyser-view > .tv-analyser-bar > button { font: var(--SmallFont, 11px sans-serif); padding: 1px 8px; }
tv-analyser-view > .tv-analyser-bar > button[aria-pressed="true"] { background: var(--Tab_Active, #206bb7);
  color: var(--TextColor, #fff); }
tv-analyser-view > canvas { flex: 1; min-height: 0; width: 100%; display: block; cursor: grab; touch-action: none; }
`;
  document.head.append(style);
})();

if (!customElements.get('tv-analyser-view')) customElements.define('tv-analyser-view', AnalyserView);
