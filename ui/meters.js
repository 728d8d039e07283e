// The meter panel and the status pane of a module page.
//
// <tv-meter-panel> draws the page's meter groups on one canvas from the "meters"
// events (25 a second): the server runs the ballistics and sends bar and marker
// positions as fractions of the meter height from the top; this side only paints.
// Captions, scales and names live on a cached layer that is rebuilt only when the
// size, the layout, a group's settings or the colours change; each event repaints
// the bars over it in one requestAnimationFrame. Right click on a group opens its
// settings dialog.
//
// <tv-status-pane> shows the "Status" caption and the status lines of the same events.
//
// Importing this module also defines <tv-analyser-view> (re-exported below).
import { command, onEvent } from './api.js';
import { openDialog } from './dialog.js';

export { AnalyserView } from './analyser.js';

// Record kinds of the meter layout.
export const KIND = Object.freeze({
  graphGroup: 2, meterGroup: 3, gainReduction: 4, level: 5, equaliser: 9, agc: 10, stereoWidth: 12, deviation: 13,
});

// The settings dialogs, by the kind of a group's first item: sections of option
// buttons (text, field, value), then "Close".
const RANGE_OPTIONS = [
  ['10dB Range', 10], ['20dB Range', 20], ['40dB Range', 40], ['80dB Range', 80], ['160dB Range', 160],
];
const HOLD_OPTIONS = [['V Short Hold', 2], ['Short Hold', 4], ['Medium Hold', 8], ['Long Hold', 16], ['V Long Hold', 32]];
const RELEASE_OPTIONS = [
  ['V Fasr Release', 0.08], ['Fast Releasa', 0.04], ['Medium Release', 0.02], ['Slow Release', 0.01], ['V Slow Release', 0.005],
];
export const SETTINGS_DIALOGS = {
  [KIND.gainReduction]: { title: 'Meter Settings', sections: [['range', RANGE_OPTIONS], ['hold', HOLD_OPTIONS], ['decay', RELEASE_OPTIONS]] },
  [KIND.level]: { title: 'Meter Settings', sections: [['range', RANGE_OPTIONS], ['hold', HOLD_OPTIONS], ['decay', RELEASE_OPTIONS]] },
  [KIND.agc]: { title: 'AGC Meter Settings', sections: [['range', [['+/- 10dB', 20], ['+/- 20dB', 40], ['+/- 40dB', 80]]]] },
  [KIND.stereoWidth]: { title: 'Enhance Meter Settings', sections: [['range', RANGE_OPTIONS.slice(0, 3)]] },
  [KIND.deviation]: {
    title: 'Deviation Meter Settings',
    sections: [['range', [['100kHz Deviation', 100], ['50kHz Deviation', 50], ['20kHz Deviation', 20],
      ['10kHz Deviation', 10], ['5kHz Deviation', 5]]]],
  },
};
const SECTION_LABELS = { range: 'Range', hold: 'Hold', decay: 'Release' };

const COLOR_NAMES = ['MeterBackground', 'MeterBarLevel1', 'MeterBarLevel2', 'MeterBarLevel3', 'MeterBarGR1',
  'MeterBarGR2', 'MeterBarGR3', 'MeterBarGR4', 'TextColor', 'DarkBackground', 'GratPen', 'GrayedTextColor', 'RedPen'];
const COLOR_DEFAULTS = {
  MeterBackground: '#000000', MeterBarLevel1: '#40ff40', MeterBarLevel2: '#80c080', MeterBarLevel3: '#ff0000',
  MeterBarGR1: '#ffff00', MeterBarGR2: '#ff8000', MeterBarGR3: '#ff4040', MeterBarGR4: '#00c0c0',
  TextColor: '#ffffff', DarkBackground: '#2f2f2f', GratPen: '#6d6d6d', GrayedTextColor: '#c0c0c0', RedPen: '#ff0000',
};

// Reads the named colours and fonts from the element's CSS variables.
export function readStyle(element) {
  const cs = getComputedStyle(element);
  const colors = {};
  for (const name of COLOR_NAMES) colors[name] = cs.getPropertyValue(`--${name}`).trim() || COLOR_DEFAULTS[name];
  const font = (name, fallback) => cs.getPropertyValue(`--${name}`).trim() || fallback;
  return {
    colors,
    small: font('SmallFont', '400 9px sans-serif'),
    title: font('TitleFont', '700 12px sans-serif'),
    medium: font('MediumFont', '400 12px sans-serif'),
  };
}

// ---- Geometry ----

const CAPTION_H = 16;  // group caption
const NAME_H = 13;     // item names under the meters
const DEVIATION_LIMIT_KHZ = 75;
const NUMBERS_H = 16;  // the read-out line under the canvas
const GATE_H = 5;      // AGC gate strip
const SCALE_W = 21;    // dB labels left of a group's meters
const GROUP_GAP = 4;
const GROUP_PAD = 3;
const BAR_W = 6;       // one channel bar at natural width
const ITEM_MIN_W = 16; // room for a short item name
const CAPTION_CHAR_W = 6.8;  // caption width per character, estimated
const EQ_W = 140;      // the equaliser graph
const EQ_RANGE_DB = 15;

// Natural width of an item's meter column.
export function itemWidth(item) {
  if (item.kind === KIND.equaliser) return 0;
  const bars = barsOf(item);
  return Math.max(ITEM_MIN_W, bars * BAR_W + (bars - 1) * 2 + 6);
}
// Number of side-by-side bars an item draws.
function barsOf(item) {
  switch (item.kind) {
    case KIND.level: return item.count >= 6 ? 2 : Math.max(1, item.count);
    case KIND.gainReduction: return item.count >= 6 ? 2 : 1;
    case KIND.deviation: return Math.max(1, item.count);
    default: return 1;
  }
}
export function groupWidth(group) {
  if (group.kind === KIND.graphGroup) return EQ_W;
  const meters = SCALE_W + group.items.reduce((w, it) => w + itemWidth(it), 0) + GROUP_PAD;
  return Math.max(meters, Math.ceil(group.name.length * CAPTION_CHAR_W + 8));
}
export function naturalWidth(layout) {
  if (!layout || !layout.groups.length) return 0;
  return layout.groups.reduce((w, g) => w + groupWidth(g), 0) + GROUP_GAP * (layout.groups.length + 1);
}

// Positions the groups and items across `width` x `height` CSS pixels: natural widths,
// scaled to fill (from half to twice the natural size).
export function computeGeometry(layout, width, height) {
  const natural = naturalWidth(layout);
  const stretch = natural > 0 ? Math.min(2, Math.max(0.5, (width - GROUP_GAP) / (natural - GROUP_GAP))) : 1;
  const groups = [];
  const items = [];
  // Centred when the panel is wider than twice the natural width.
  let x = Math.max(GROUP_GAP, Math.floor((width - natural * stretch) / 2) + GROUP_GAP);
  const top = 2 + CAPTION_H;
  const bottom = Math.max(top + 20, height - NAME_H - 2);
  for (const [gi, g] of layout.groups.entries()) {
    const w = Math.floor(groupWidth(g) * stretch);
    const metersW = g.kind === KIND.graphGroup ? w
      : Math.floor((SCALE_W + g.items.reduce((s, it) => s + itemWidth(it), 0)) * stretch);
    const spare = Math.max(0, w - metersW - GROUP_PAD);  // a wide caption: centre the meters
    const box = { index: gi, group: g, x, y: 2, w, h: height - 4, meterTop: top + 2, meterBottom: bottom, items: [] };
    if (g.kind === KIND.graphGroup) {
      box.graph = { x: x + 4, y: top + 2, w: w - 8, h: bottom - top - 2 };
      for (const it of g.items) items.push({ item: it, box, graph: true });
    } else {
      const agc = g.items.some((it) => it.kind === KIND.agc);
      if (agc) box.meterBottom = bottom - GATE_H - 2;
      let ix = x + Math.floor(spare / 2) + Math.floor(SCALE_W * stretch);
      for (const it of g.items) {
        const iw = Math.floor(itemWidth(it) * stretch);
        const entry = { item: it, box, x: ix, w: iw, bars: barsOf(it) };
        box.items.push(entry);
        items.push(entry);
        ix += iw;
      }
    }
    groups.push(box);
    x += w + GROUP_GAP;
  }
  return { groups, items, width, height };
}

// dB labels of a group: [position from the top, text].
function niceStep(span) {
  for (const s of [1, 2, 5, 10, 20, 40, 50]) if (span / s <= 5) return s;
  return 100;
}
export function scaleMarks(kind, range) {
  const marks = [];
  if (kind === KIND.agc) {
    const half = range / 2;
    const step = niceStep(half);
    for (let v = half; v >= -half - 1e-6; v -= step) marks.push([0.5 - v / range, v > 0 ? `+${v}` : `${v}`]);
  } else if (kind === KIND.stereoWidth) {
    const step = niceStep(range);
    for (let v = 0; v <= range + 1e-6; v += step) marks.push([v / range, `${v}`]);
  } else if (kind === KIND.deviation) {
    const step = niceStep(range);
    for (let v = range; v >= -1e-6; v -= step) marks.push([1 - v / range, `${v}`]);
  } else {
    const step = niceStep(range);
    for (let v = 0; v <= range + 1e-6; v += step) marks.push([v / range, v ? `-${v}` : '0']);
  }
  return marks;
}

// ---- Equaliser response ----

// Magnitude in dB at `freq` Hz of the parametric equaliser's peaking section
// (f, Q, linear gain - 1, section rate): the resonator band-pass
// B(z) = 2a(1 - z^-2) / (1 - 2c z^-1 + 2b z^-2) added to the input, H = 1 + (g - 1) B.
export function peakingResponseDb(f, q, gainMinusOne, rate, freq) {
  if (!(f > 0) || !(q > 0) || !(rate > 0) || !(f < rate / 2)) return 0;
  const theta = (2 * Math.PI * f) / rate;
  const k = Math.tan(theta / (2 * q));
  const beta = (0.5 * (1 - k)) / (1 + k);
  const gamma = (0.5 + beta) * Math.cos(theta);
  const alpha = (0.5 - beta) * 0.5;
  const w = (2 * Math.PI * freq) / rate;
  const c1 = Math.cos(w), s1 = Math.sin(w), c2 = Math.cos(2 * w), s2 = Math.sin(2 * w);
  // Numerator 2a(1 - e^-2jw), denominator 1 - 2c e^-jw + 2b e^-2jw.
  const nr = 2 * alpha * (1 - c2), ni = 2 * alpha * s2;
  const dr = 1 - 2 * gamma * c1 + 2 * beta * c2, di = 2 * gamma * s1 - 2 * beta * s2;
  const den = dr * dr + di * di;
  if (!(den > 0)) return 0;
  const br = (nr * dr + ni * di) / den, bi = (ni * dr - nr * di) / den;
  const hr = 1 + gainMinusOne * br, hi = gainMinusOne * bi;
  return 10 * Math.log10(Math.max(hr * hr + hi * hi, 1e-20));
}
export function combinedResponseDb(sections, freq) {
  let db = 0;
  for (const s of sections) if (s && s.length >= 4) db += peakingResponseDb(s[0], s[1], s[2], s[3], freq);
  return db;
}

// ---- The panel ----

export class MeterPanel extends HTMLElement {
  constructor() {
    super();
    this.framesDrawn = 0;   // frames actually painted (read by the browser tests)
    this.eventsSeen = 0;    // meters events of this page
    this.updatesSeen = 0;   // of them, the ones with new values
    this._layout = null;
    this._data = null;
    this._lastTick = -1;
    this._pending = false;
    this._geometry = null;
    this._staticLayer = null;
    this._eqPath = null;
    this._eqKey = '';
    this._unsubscribe = [];
    this._focusGroup = 0;
  }

  _ensureDom() {
    if (!this._canvas) {
      this._canvas = document.createElement('canvas');
      // Keyboard: the arrows choose a group, Enter (or the context-menu key) opens
      // its settings, as a right click does.
      this._canvas.setAttribute('role', 'application');
      this._canvas.setAttribute('aria-label', 'Meters');
      this._canvas.setAttribute('aria-description', 'Left and right arrows choose a group; Enter opens its settings');
      this._canvas.tabIndex = 0;
      this._canvas.addEventListener('keydown', (e) => this._onKey(e));
      this._canvas.addEventListener('focus', () => this._schedule());
      this._canvas.addEventListener('blur', () => this._schedule());
      this._sizer = document.createElement('div');
      this._sizer.className = 'tv-meter-sizer';
      // The numbers an engineer reads: one entry per meter item that has one.
      this._numbers = document.createElement('div');
      this._numbers.className = 'tv-meter-numbers';
      this._numbers.setAttribute('role', 'status');
      this._numbers.setAttribute('aria-label', 'Meter read-outs');
      this._numbers.setAttribute('aria-live', 'off');
      this.append(this._sizer, this._canvas, this._numbers);
      this._canvas.addEventListener('contextmenu', (e) => this._onContextMenu(e));
    }
  }

  connectedCallback() {
    this._ensureDom();
    this._style = readStyle(this);
    this._resizeObserver = new ResizeObserver(() => this._resize());
    this._resizeObserver.observe(this);
    this._unsubscribe.push(onEvent('meters', (d) => this._onMeters(d)));
    const onState = () => {
      this._style = readStyle(this);
      this._staticLayer = null;
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
    this._raf = 0;
    this._pending = false;
  }

  // Takes the page model of GET /api/page.
  setup(pageModel) {
    this._ensureDom();
    this.instance = pageModel.instance;
    this.page = pageModel.page;
    this._layout = pageModel.meters && pageModel.meters.groups?.length ? structuredClone(pageModel.meters) : null;
    this._data = null;
    this._lastTick = -1;
    this._eqKey = '';
    this._focusGroup = 0;
    this.hidden = !this._layout;
    // The natural width is what the panel asks of the page (through a spacer, so
    // that it still stretches to a wider column and shrinks into a narrower one).
    this._sizer.style.width = this._layout ? `${naturalWidth(this._layout)}px` : '0';
    this._geometry = null;
    this._staticLayer = null;
    this._resize();
  }

  get layout() { return this._layout; }

  _resize() {
    if (!this._canvas) return;
    const rect = this.getBoundingClientRect();
    const w = Math.max(1, Math.floor(rect.width));
    const h = Math.max(1, Math.floor(rect.height) - NUMBERS_H);
    const dpr = window.devicePixelRatio || 1;
    if (this._canvas.width !== Math.round(w * dpr) || this._canvas.height !== Math.round(h * dpr)) {
      this._canvas.width = Math.round(w * dpr);
      this._canvas.height = Math.round(h * dpr);
      this._canvas.style.width = `${w}px`;
      this._canvas.style.height = `${h}px`;
    }
    this._cssSize = [w, h];
    this._dpr = dpr;
    this._geometry = this._layout ? computeGeometry(this._layout, w, h) : null;
    this._staticLayer = null;
    this._eqKey = '';
    this._schedule();
  }

  _onMeters(d) {
    if (!d || d.instance !== this.instance || d.page !== this.page || !this._layout) return;
    this.eventsSeen++;
    if (d.tick === this._lastTick && this._data) return;  // nothing new to paint
    this._lastTick = d.tick;
    this._data = d;
    this.updatesSeen++;
    this._schedule();
    // The read-outs change four times a second at most: numbers that flicker
    // faster cannot be read.
    const now = performance.now();
    if (!(now - (this._numbersAt || 0) < 250)) {
      this._numbersAt = now;
      this._showNumbers(d);
    }
  }

  _showNumbers(d) {
    const parts = [];
    let item = 0;
    for (const g of this._layout.groups) {
      const texts = [];
      for (const it of g.items) {
        const text = d.items?.[item++]?.text;
        if (text) texts.push(g.items.length > 1 ? `${it.name} ${text}` : text);
      }
      if (texts.length) parts.push(`${g.name}: ${texts.join(', ')}`);
    }
    const line = parts.join('   ');
    if (this._numbers.textContent !== line) {
      this._numbers.textContent = line;
      this._numbers.title = line;  // the whole line, where a narrow panel cuts it
    }
  }

  _schedule() {
    if (this._pending || !this.isConnected) return;
    this._pending = true;
    this._raf = requestAnimationFrame(() => {
      this._pending = false;
      this._draw();
    });
  }

  _buildStaticLayer() {
    const [w, h] = this._cssSize;
    const dpr = this._dpr;
    const layer = document.createElement('canvas');
    layer.width = Math.round(w * dpr);
    layer.height = Math.round(h * dpr);
    const ctx = layer.getContext('2d');
    ctx.setTransform(dpr, 0, 0, dpr, 0, 0);
    const c = this._style.colors;
    ctx.fillStyle = c.DarkBackground;
    ctx.fillRect(0, 0, w, h);
    ctx.textBaseline = 'middle';
    for (const box of this._geometry.groups) {
      const g = box.group;
      // Frame and caption.
      ctx.strokeStyle = '#0008';
      ctx.strokeRect(box.x + 0.5, box.y + 0.5, box.w - 1, box.h - 1);
      ctx.fillStyle = c.TextColor;
      ctx.font = this._style.medium;
      ctx.textAlign = 'center';
      ctx.fillText(fitText(ctx, g.name, box.w - 4), box.x + box.w / 2, box.y + CAPTION_H / 2 + 1);
      if (box.graph) {
        this._drawGraphFrame(ctx, box.graph);
        continue;
      }
      const top = box.meterTop, bottom = box.meterBottom, height = bottom - top;
      // Meter wells.
      ctx.fillStyle = c.MeterBackground;
      for (const it of box.items) ctx.fillRect(it.x + 2, top, it.w - 4, height);
      // Scale.
      const first = g.items[0];
      const kind = first.kind === KIND.level && first.count < 6 ? KIND.level : first.kind;
      ctx.font = this._style.small;
      ctx.textAlign = 'right';
      ctx.fillStyle = c.GrayedTextColor;
      ctx.strokeStyle = c.GratPen;
      const scaleRight = box.items.length ? box.items[0].x - 1 : box.x + SCALE_W;
      for (const [p, text] of scaleMarks(kind, g.range)) {
        const y = Math.round(top + p * height) + 0.5;
        ctx.beginPath();
        ctx.moveTo(scaleRight - 3, y);
        ctx.lineTo(scaleRight, y);
        ctx.stroke();
        ctx.fillText(text, scaleRight - 4, Math.min(Math.max(y, top + 4), bottom - 4));
      }
      // Deviation: the 75 kHz limit of FM broadcasting across the wells.
      if (kind === KIND.deviation && g.range >= DEVIATION_LIMIT_KHZ) {
        const y = Math.round(top + (1 - DEVIATION_LIMIT_KHZ / g.range) * height) + 0.5;
        ctx.strokeStyle = c.RedPen;
        ctx.beginPath();
        for (const it of box.items) {
          ctx.moveTo(it.x + 2, y);
          ctx.lineTo(it.x + it.w - 2, y);
        }
        ctx.stroke();
        ctx.fillStyle = c.RedPen;
        ctx.textAlign = 'right';
        ctx.fillText('75', scaleRight - 4, Math.min(Math.max(y, top + 4), bottom - 4));
      }
      // Item names.
      ctx.textAlign = 'center';
      ctx.fillStyle = c.TextColor;
      for (const it of box.items)
        ctx.fillText(fitText(ctx, it.item.name, it.w + 4), it.x + it.w / 2, box.y + box.h - NAME_H / 2);
    }
    this._staticLayer = layer;
  }

  _drawGraphFrame(ctx, r) {
    const c = this._style.colors;
    ctx.fillStyle = c.MeterBackground;
    ctx.fillRect(r.x, r.y, r.w, r.h);
    ctx.strokeStyle = c.GratPen;
    ctx.lineWidth = 1;
    ctx.font = this._style.small;
    ctx.fillStyle = c.GrayedTextColor;
    ctx.textAlign = 'left';
    for (const f of [100, 1000, 10000]) {
      const x = Math.round(r.x + freqX(f) * r.w) + 0.5;
      ctx.beginPath();
      ctx.moveTo(x, r.y);
      ctx.lineTo(x, r.y + r.h);
      ctx.stroke();
      ctx.fillText(f >= 1000 ? `${f / 1000}k` : `${f}`, x + 2, r.y + r.h - 6);
    }
    for (const db of [-10, -5, 0, 5, 10]) {
      const y = Math.round(r.y + (0.5 - db / (2 * EQ_RANGE_DB)) * r.h) + 0.5;
      ctx.setLineDash(db === 0 ? [] : [2, 3]);
      ctx.beginPath();
      ctx.moveTo(r.x, y);
      ctx.lineTo(r.x + r.w, y);
      ctx.stroke();
      if (db) ctx.fillText(db > 0 ? `+${db}` : `${db}`, r.x + 2, y - 5);
    }
    ctx.setLineDash([]);
  }

  _draw() {
    if (!this._canvas || !this._geometry || !this._cssSize) return;
    if (!this._staticLayer) this._buildStaticLayer();
    const ctx = this._canvas.getContext('2d', { alpha: false });
    ctx.setTransform(1, 0, 0, 1, 0, 0);
    ctx.drawImage(this._staticLayer, 0, 0);
    ctx.setTransform(this._dpr, 0, 0, this._dpr, 0, 0);
    const d = this._data;
    if (d && Array.isArray(d.items)) {
      const geometry = this._geometry;
      const eqSections = [];
      let graphBox = null;
      for (let i = 0; i < geometry.items.length && i < d.items.length; i++) {
        const entry = geometry.items[i];
        const values = d.items[i];
        if (entry.graph) {
          eqSections.push(values.eq);
          graphBox = entry.box.graph;
        } else {
          this._drawItem(ctx, entry, values);
        }
      }
      if (graphBox) this._drawResponse(ctx, graphBox, eqSections);
    }
    if (document.activeElement === this._canvas) {
      const box = this._geometry.groups[this._focusGroup];
      if (box) {
        ctx.strokeStyle = this._style.colors.TextColor;
        ctx.setLineDash([3, 2]);
        ctx.strokeRect(box.x + 1.5, box.y + 1.5, box.w - 3, box.h - 3);
        ctx.setLineDash([]);
      }
    }
    this.framesDrawn++;
  }

  _drawItem(ctx, entry, v) {
    const c = this._style.colors;
    const box = entry.box;
    const top = box.meterTop, height = box.meterBottom - top;
    const n = entry.bars;
    const inner = entry.w - 4;
    const barW = Math.max(2, Math.floor((inner - (n - 1) * 2) / n));
    const barX = (k) => entry.x + 2 + k * (barW + 2);
    const y = (p) => top + clamp01(p) * height;
    const bars = v.bars || [];
    const fromTop = (k, p, color) => {
      ctx.fillStyle = color;
      ctx.fillRect(barX(k), top, barW, y(p) - top);
    };
    const fromBottom = (k, p, color, shrink = 0) => {
      ctx.fillStyle = color;
      ctx.fillRect(barX(k) + shrink, y(p), barW - 2 * shrink, top + height - y(p));
    };
    const marker = (k, p, color, span = 1) => {
      ctx.fillStyle = color;
      const w = span * barW + (span - 1) * 2;
      ctx.fillRect(barX(k), Math.min(y(p), top + height - 2), w, 2);
    };
    switch (entry.item.kind) {
      case KIND.level:
        if (entry.item.count >= 6) {
          for (let ch = 0; ch < 2 && ch < bars.length; ch++) {
            const [rms, env, peak] = bars[ch];
            fromBottom(ch, peak, c.MeterBarLevel3, 1);  // true peak above the envelope
            fromBottom(ch, env, c.MeterBarLevel2);
            fromBottom(ch, rms, c.MeterBarLevel1);
            if (v.env) marker(ch, v.env[ch], c.MeterBarLevel2);
            if (v.peak) marker(ch, v.peak[ch], c.MeterBarLevel3);
          }
        } else {
          for (let k = 0; k < bars.length; k++) fromBottom(k, bars[k][0], c.MeterBarLevel1);
        }
        break;
      case KIND.deviation:
        for (let k = 0; k < bars.length; k++) fromBottom(k, bars[k][0], c.MeterBarLevel2);
        break;
      case KIND.gainReduction:
        if (entry.item.count >= 6) {
          for (let ch = 0; ch < 2 && ch < bars.length; ch++) {
            const [p0, p1, p2] = bars[ch];
            fromTop(ch, p2, c.MeterBarGR1);
            fromTop(ch, p1, c.MeterBarGR2);
            fromTop(ch, p0, c.MeterBarGR3);
          }
          if (v.marker !== undefined) marker(0, v.marker, c.MeterBarGR4, 2);
        } else if (bars.length) {
          fromTop(0, bars[0][0], c.MeterBarGR1);
        }
        break;
      case KIND.stereoWidth:
        if (bars.length) fromTop(0, bars[0][0], c.MeterBarGR4);
        break;
      case KIND.agc: {
        if (!bars.length) break;
        // Centre line (total gain 0 dB), the position mark, and the gate strip.
        ctx.fillStyle = c.GratPen;
        ctx.fillRect(barX(0), Math.round(top + height / 2), barW, 1);
        const py = y(bars[0][0]);
        ctx.fillStyle = c.MeterBarGR1;
        ctx.fillRect(barX(0) - 1, Math.max(top, Math.min(py - 2, top + height - 4)), barW + 2, 4);
        ctx.fillStyle = v.gate ? c.MeterBarGR3 : c.MeterBarLevel1;
        ctx.fillRect(barX(0), box.meterBottom + 2, barW, GATE_H);
        break;
      }
      default:
        break;
    }
  }

  _drawResponse(ctx, r, sections) {
    const key = JSON.stringify(sections) + r.w + 'x' + r.h;
    if (key !== this._eqKey) {
      // Recomputed only when a section's values (or the size) changed.
      this._eqKey = key;
      const path = new Path2D();
      const steps = Math.max(2, Math.floor(r.w));
      for (let i = 0; i <= steps; i++) {
        const x = i / steps;
        const f = 20 * Math.pow(1000, x);
        const db = Math.max(-EQ_RANGE_DB, Math.min(EQ_RANGE_DB, combinedResponseDb(sections, f)));
        const px = r.x + x * r.w, py = r.y + (0.5 - db / (2 * EQ_RANGE_DB)) * r.h;
        if (i) path.lineTo(px, py); else path.moveTo(px, py);
      }
      this._eqPath = path;
    }
    ctx.save();
    ctx.beginPath();
    ctx.rect(r.x, r.y, r.w, r.h);
    ctx.clip();
    ctx.strokeStyle = this._style.colors.MeterBarLevel1;
    ctx.lineWidth = 1.5;
    ctx.stroke(this._eqPath);
    ctx.restore();
  }

  // The group under a point of the canvas (CSS pixels), or null.
  groupAt(x, y) {
    if (!this._geometry) return null;
    return this._geometry.groups.find((b) => x >= b.x && x < b.x + b.w && y >= b.y && y < b.y + b.h) || null;
  }
  // Centre of group `index` in client coordinates (for tests and keyboard users).
  groupCenter(index) {
    const box = this._geometry?.groups[index];
    if (!box) return null;
    const rect = this._canvas.getBoundingClientRect();
    return { x: rect.left + box.x + box.w / 2, y: rect.top + box.y + box.h / 2 };
  }

  _onKey(e) {
    const count = this._geometry?.groups.length || 0;
    if (!count) return;
    if (e.key === 'ArrowRight' || e.key === 'ArrowLeft') {
      this._focusGroup = (this._focusGroup + (e.key === 'ArrowRight' ? 1 : count - 1)) % count;
    } else if (e.key === 'Home' || e.key === 'End') {
      this._focusGroup = e.key === 'Home' ? 0 : count - 1;
    } else if (e.key === 'Enter' || e.key === ' ' || e.key === 'ContextMenu' || (e.key === 'F10' && e.shiftKey)) {
      this.openSettings(this._focusGroup);
    } else {
      return;
    }
    e.preventDefault();
    this._schedule();
  }

  _onContextMenu(e) {
    const rect = this._canvas.getBoundingClientRect();
    const box = this.groupAt(e.clientX - rect.left, e.clientY - rect.top);
    if (!box) return;
    const spec = SETTINGS_DIALOGS[box.group.items[0]?.kind];
    if (!spec) return;
    e.preventDefault();
    this.openSettings(box.index);
  }

  // Opens the settings dialog of group `index`.
  async openSettings(index) {
    const group = this._layout?.groups[index];
    const spec = group && SETTINGS_DIALOGS[group.items[0]?.kind];
    if (!spec) return null;
    const { instance, page } = this;
    const body = document.createElement('div');
    body.className = 'tv-meter-settings';
    const rows = [];
    for (const [field, options] of spec.sections) {
      const row = document.createElement('div');
      row.className = 'tv-meter-settings-row';
      row.setAttribute('role', 'group');
      row.setAttribute('aria-label', SECTION_LABELS[field]);
      for (const [text, value] of options) {
        const button = document.createElement('button');
        button.type = 'button';
        button.textContent = text;
        button.dataset.field = field;
        button.dataset.value = String(value);
        button.setAttribute('aria-pressed', String(sameSetting(group[field], value)));
        button.addEventListener('click', async () => {
          const answer = await command('/api/meters/settings', { instance, page, group: index, [field]: value });
          if (!answer.ok) return;
          group[field] = value;
          for (const b of row.querySelectorAll('button')) b.setAttribute('aria-pressed', String(b === button));
          if (this._layout === undefined || this.instance !== instance || this.page !== page) return;
          this._sizer.style.width = `${naturalWidth(this._layout)}px`;
          this._staticLayer = null;  // new scale at once
          this._schedule();
        });
        row.append(button);
      }
      rows.push(row);
    }
    body.append(...rows);
    return openDialog(spec.title, body, ['Close'], { className: 'tv-meter-settings-dialog' });
  }
}

function sameSetting(a, b) { return Math.abs(Number(a) - Number(b)) < 1e-4; }
function clamp01(p) { return p > 1 ? 1 : p > 0 ? p : 0; }
// x position (0..1) of a frequency on the equaliser graph's 20 Hz ... 20 kHz axis.
function freqX(f) { return Math.log10(f / 20) / 3; }
function fitText(ctx, text, width) {
  if (ctx.measureText(text).width <= width) return text;
  let t = text;
  while (t.length > 1 && ctx.measureText(`${t}…`).width > width) t = t.slice(0, -1);
  return `${t}…`;
}

// ---- Status pane ----

export class StatusPane extends HTMLElement {
  constructor() {
    super();
    this._unsubscribe = null;
    this._text = null;
  }

  _ensureDom() {
    if (!this._lines) {
      this.setAttribute('role', 'region');
      this.setAttribute('aria-label', 'Status');
      const caption = document.createElement('div');
      caption.className = 'tv-status-caption';
      caption.textContent = 'Status';
      this._lines = document.createElement('div');
      this._lines.className = 'tv-status-lines';
      this.append(caption, this._lines);
    }
  }

  connectedCallback() {
    this._ensureDom();
    if (!this._unsubscribe) this._unsubscribe = onEvent('meters', (d) => this._onMeters(d));
  }

  disconnectedCallback() {
    this._unsubscribe?.();
    this._unsubscribe = null;
  }

  setup(pageModel) {
    this.instance = pageModel.instance;
    this.page = pageModel.page;
    this._ensureDom();
    this.hidden = !pageModel.status;
    this.show(pageModel.status || []);
  }

  _onMeters(d) {
    if (!d || d.instance !== this.instance || d.page !== this.page || !Array.isArray(d.status)) return;
    this.hidden = false;
    // Sound Out with the multiplex on air: the pilot and RDS injection below its status.
    this.show(d.injection ? [...d.status, d.injection] : d.status);
  }

  // Replaces the lines, touching the page only when they changed.
  show(lines) {
    const text = lines.join('\n');
    if (text === this._text) return;
    this._text = text;
    this._lines.replaceChildren(...lines.map((line) => {
      const div = document.createElement('div');
      div.className = 'tv-status-line';
      div.textContent = line;
      return div;
    }));
  }

  get lines() { return this._text === null ? [] : this._text.split('\n'); }
}

const STYLE = `
tv-meter-panel { position: relative; overflow: hidden; min-height: 160px; min-width: 120px;
  background: var(--DarkBackground, #2f2f2f); border: 1px solid #0006; }
tv-meter-panel > .tv-meter-sizer { height: 0; max-width: 100%; }
tv-meter-panel > canvas { position: absolute; inset: 0 0 ${NUMBERS_H}px 0; display: block; cursor: context-menu; }
tv-meter-panel > .tv-meter-numbers { position: absolute; left: 0; right: 0; bottom: 0; height: ${NUMBERS_H}px; overflow: hidden;
  white-space: nowrap; text-overflow: ellipsis; font: 11px/16px monospace; color: var(--TextColor, #fff); padding: 0 4px; }
tv-meter-panel[hidden], tv-status-pane[hidden] { display: none !important; }
tv-status-pane { background: var(--DarkBackground, #2f2f2f); border: 1px solid #0006; padding: 3px 6px 5px;
  color: var(--TextColor, #fff); font: var(--MediumFont, 12px sans-serif); text-align: center; }
tv-status-pane .tv-status-caption { font: var(--TitleFont, bold 13px sans-serif); color: var(--GrayedTextColor, #c0c0c0);
  border-bottom: 1px solid #0006; margin-bottom: 3px; }
tv-status-pane .tv-status-line { white-space: pre; overflow: hidden; text-overflow: ellipsis; min-height: 1.2em; }
.tv-meter-settings { display: flex; flex-direction: column; gap: 6px; }
.tv-meter-settings-row { display: flex; gap: 4px; flex-wrap: wrap; }
.tv-meter-settings-row > button[aria-pressed="true"] { background: var(--Tab_Active, #206bb7); color: var(--TextColor, #fff); }
`;

function installStyle(id, css) {
  if (document.getElementById(id)) return;
  const style = document.createElement('style');
  style.id = id;
  style.textContent = css;
  document.head.append(style);
}
installStyle('tv-meters-style', STYLE);

if (!customElements.get('tv-meter-panel')) customElements.define('tv-meter-panel', MeterPanel);
if (!customElements.get('tv-status-pane')) customElements.define('tv-status-pane', StatusPane);
