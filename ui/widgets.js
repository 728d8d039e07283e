// The control widgets of a group window and the rules they follow: slider
// snapping and read-out, scale marks, the frequency control's six ranges, the
// delay control's four sliders, the layout of group windows and the default
// menu. The rules match the program's C++ models (params/widgets.h,
// params/page_tree.h) so the browser shows exactly what the program computes.
// Also a small pop-up menu used by the control window and the preset bar.

// ---- Geometry ----

export const WIDTH_UNIT_PX = 85;
export const CONTROL_HEIGHT_PX = 180;
export const GROUP_HEIGHT_PX = 204;
export const GROUP_BORDER_PX = 2;

export const NO_ROOM_MESSAGE =
  'Unable to display any controls\r\nIThe usual reason is that the application window is too small\r\n' +
  'Either masximize icon or  drag the window larger with the icon bottom right';
export const NO_ROOM_TITLE = 'Warning';

export const MENU_ALL_DEFAULTS = 'Set All To Default Values';
export const MENU_GROUP_DEFAULTS = 'Set Group To Default Values';
export const MENU_WINDOW_DEFAULTS = 'Set Window To Default Values';

// What the right-click menu offers where it was opened: 'outside',
// 'page_entry' or 'group_entry' (a group entry or an open group window).
export function defaultMenu(spot) {
  return { all: true, group: spot === 'page_entry', window: spot === 'group_entry' };
}

// Open group windows left to right in rows of `areaWidth`, wrapping when the
// next window does not fit. A window wider than the area, or below its bottom,
// gets null.
export function layoutGroupWindows(widths, areaWidth, areaHeight) {
  const positions = widths.map(() => null);
  let x = 0, y = 0;
  for (let i = 0; i < widths.length; ++i) {
    const width = widths[i];
    if (width > areaWidth) continue;
    if (x + width > areaWidth) {
      x = 0;
      y += GROUP_HEIGHT_PX;
    }
    if (y + GROUP_HEIGHT_PX > areaHeight) break;
    positions[i] = { x, y };
    x += width;
  }
  return positions;
}

// ---- Slider ----

// Rounds half away from zero, as the program does.
export function roundHalfAway(x) {
  return x < 0 ? -Math.round(-x) : Math.round(x);
}

// `value` moved to a whole number of steps and clamped to [min, max] (either
// orientation). A step of 0 or less only clamps.
// Computed in 32-bit floats as the program stores them, so the value sent is
// the one the program itself would snap to.
export function snapToStep(value, step, min, max) {
  const lo = Math.fround(Math.min(min, max)), hi = Math.fround(Math.max(min, max));
  if (Number.isNaN(value)) return lo;
  let v = Math.fround(value);
  const s = Math.fround(step);
  if (s > 0) v = Math.fround(roundHalfAway(v / s) * s);
  return Math.min(hi, Math.max(lo, v));
}

// Decimals shown for a step: 0.5 or 0.1 -> 1, 0.01 -> 2, 1 or more -> 0 (at most 6).
export function stepDecimals(step) {
  if (!(step > 0) || step >= 1) return 0;
  // The step arrives as a 32-bit float widened to a double.
  const s = Math.fround(step);
  let scale = 1;
  for (let decimals = 0; decimals <= 6; ++decimals, scale *= 10) {
    const scaled = s * scale;
    if (Math.abs(scaled - Math.round(scaled)) < 1e-3 * scale * s) return decimals;
  }
  return 6;
}

// A whole number `value` read as value / 10^decimals, "-" in front when negative.
export function fixedPointText(value, decimals) {
  const negative = value < 0;
  const digits = String(Math.abs(value)).padStart(decimals + 1, '0');
  const whole = digits.slice(0, digits.length - decimals);
  const fraction = decimals ? '.' + digits.slice(digits.length - decimals) : '';
  return (negative ? '-' : '') + whole + fraction;
}

// The slider's read-out: the value with stepDecimals(step) decimals.
export function sliderText(value, step) {
  const decimals = stepDecimals(step);
  let scaled = roundHalfAway(Math.fround(value) * 10 ** decimals);
  if (!(scaled > -2147483648)) scaled = -2147483648;
  if (scaled > 2147483647) scaled = 2147483647;
  return fixedPointText(scaled, decimals);
}

// Steps between scale marks (1, 2, 5, 10 or 20): at most about 20 marks.
export function markSpacingSteps(min, max, step) {
  if (!(step > 0)) return 1;
  const steps = Math.abs(max - min) / step;
  for (const spacing of [1, 2, 5, 10]) {
    if (steps / spacing <= 20) return spacing;
  }
  return 20;
}

// ---- Frequency control ----

export const FREQUENCY_SLIDER_LABEL = 'Freq';
export const FREQUENCY_RANGES = [
  { label: '10-50', min: 10, max: 50, step: 1, initial: 10 },
  { label: '50-200', min: 50, max: 200, step: 1, initial: 100 },
  { label: '200-1k', min: 200, max: 1000, step: 10, initial: 500 },
  { label: '1k-5k', min: 1000, max: 5000, step: 100, initial: 2000 },
  { label: '5k-20k', min: 5000, max: 20000, step: 1000, initial: 10000 },
  { label: '20k-100k', min: 20000, max: 100000, step: 1000, initial: 20000 },
];
const FREQUENCY_SHOW_MAX_HZ = 24000;

// The range a value selects.
export function frequencyRangeOf(v) {
  for (let range = 0; range + 1 < FREQUENCY_RANGES.length; ++range) {
    if (v < FREQUENCY_RANGES[range].max) return range;
  }
  return FREQUENCY_RANGES.length - 1;
}

// The selected range and the value each range's slider last held.
export class FrequencyControl {
  constructor() {
    this.range = 0;
    this.remembered = FREQUENCY_RANGES.map((r) => r.initial);
  }
  // Shows value `v`: selects its range and places that range's slider.
  show(v) {
    if (Number.isNaN(v)) v = FREQUENCY_RANGES[0].min;
    this.range = frequencyRangeOf(v);
    const r = FREQUENCY_RANGES[this.range];
    const highest = this.range + 1 === FREQUENCY_RANGES.length ? FREQUENCY_SHOW_MAX_HZ : r.max;
    this.remembered[this.range] = Math.min(highest, Math.max(r.min, v));
  }
  // The user switched to `range`; returns the remembered value to apply.
  selectRange(range) {
    if (range >= 0 && range < FREQUENCY_RANGES.length) this.range = range;
    return this.remembered[this.range];
  }
  // The user moved the visible slider; returns the snapped value to apply.
  moveSlider(v) {
    const r = FREQUENCY_RANGES[this.range];
    this.remembered[this.range] = snapToStep(v, r.step, r.min, r.max);
    return this.remembered[this.range];
  }
  get value() { return this.remembered[this.range]; }
}

// ---- Delay control ----

// The four sliders: seconds, tenths of a second, tens of milliseconds, milliseconds.
export const DELAY_SLIDERS = [
  { key: 'seconds', suffix: 's', min: 0, max: 10, step: 1 },
  { key: 'tenths_s', suffix: '0.1 s', min: 0, max: 1, step: 0.1 },
  { key: 'tens_ms', suffix: '10 ms', min: 0, max: 100, step: 10 },
  { key: 'ms', suffix: '1 ms', min: 0, max: 10, step: 1 },
];

// The delay in milliseconds: the sum of the sliders, each snapped to its step and range.
export function composeDelayMs(parts) {
  const seconds = Math.round(snapToStep(parts.seconds, 1, 0, 10));
  const tenths = Math.round(snapToStep(parts.tenths_s, 0.1, 0, 1) * 10);
  const tens = Math.round(snapToStep(parts.tens_ms, 10, 0, 100));
  const ms = Math.round(snapToStep(parts.ms, 1, 0, 10));
  return seconds * 1000 + tenths * 100 + tens + ms;
}

// The sliders for a delay in milliseconds (rounded to a whole millisecond).
export function decomposeDelayMs(ms) {
  const most = 11110; // every slider at its top
  const total = Number.isNaN(ms) || ms <= 0 ? 0 : Math.min(most, roundHalfAway(Math.min(ms, 20000)));
  let rest = total;
  const seconds = Math.min(10, Math.floor(rest / 1000));
  rest -= seconds * 1000;
  const tenths = Math.min(10, Math.floor(rest / 100));
  rest -= tenths * 100;
  const tens = Math.min(10, Math.floor(rest / 10));
  rest -= tens * 10;
  return { seconds, tenths_s: tenths / 10, tens_ms: tens * 10, ms: Math.min(10, rest) };
}

// "MPX Delay " followed by the delay in seconds with three decimals and " s".
export function delayCaption(ms) {
  const whole = Number.isNaN(ms) || ms <= 0 ? 0 : roundHalfAway(Math.min(ms, 1e9));
  return `MPX Delay ${fixedPointText(whole, 3)} s`;
}

// ---- Widget elements ----

function el(tag, className, text) {
  const e = document.createElement(tag);
  if (className) e.className = className;
  if (text !== undefined) e.textContent = text;
  return e;
}

// A vertical slider with its scale: a range input (value bottom to top) in a
// track with marks at `spacing` steps, and an <output> read-out above it.
// `onInput(v)` gets the snapped value while the user moves it.
class VerticalSlider {
  constructor({ label, min, max, step, readout = true, onInput }) {
    this.min = min;
    this.max = max;
    this.step = step;
    this.lo = Math.min(min, max);
    this.hi = Math.max(min, max);
    // A range whose display minimum is above its maximum runs top to bottom.
    this.reversed = min > max;
    this.onInput = onInput;
    this.element = el('div', 'tv-slider');
    this.output = el('output', 'tv-readout');
    this.output.setAttribute('aria-live', 'off');
    const track = el('div', 'tv-slider-track');
    this.marks = el('div', 'tv-slider-marks');
    this.marks.setAttribute('aria-hidden', 'true');
    this.input = el('input');
    this.input.type = 'range';
    this.input.setAttribute('aria-label', label);
    this.input.min = String(this.lo);
    this.input.max = String(this.hi);
    this.input.step = 'any';
    track.append(this.marks, this.input);
    if (readout) this.element.append(this.output);
    this.element.append(track);
    this.drawMarks();
    this.input.addEventListener('input', () => this.moved(this.fromPosition(Number(this.input.value))));
    this.input.addEventListener('keydown', (e) => this.key(e));
    this.label = label;
    this.output.title = 'Click to type a value';
    this.output.addEventListener('click', () => this.typeValue());
    this.value = this.lo;
  }

  // A click on the read-out lets the value be typed: Enter (or leaving the field)
  // takes it, snapped to the step and kept in the range; Escape keeps the value.
  typeValue() {
    if (this.input.disabled || this.editing) return;
    this.editing = true;
    const field = el('input', 'tv-readout-edit');
    field.type = 'text';
    field.value = this.output.textContent;
    field.setAttribute('aria-label', `${this.label} value`);
    field.size = 6;
    this.output.replaceWith(field);
    field.focus();
    field.select();
    const done = (accept) => {
      if (!this.editing) return;
      this.editing = false;
      field.replaceWith(this.output);
      if (!accept) return;
      const text = field.value.trim().replace(',', '.');
      const v = text === '' ? NaN : Number(text);
      if (!Number.isFinite(v)) {
        this.element.dispatchEvent(new CustomEvent('tv-bad-value', { bubbles: true, detail: { text: field.value } }));
        return;
      }
      this.moved(v);
    };
    field.addEventListener('keydown', (e) => {
      if (e.key === 'Enter') { e.preventDefault(); done(true); }
      else if (e.key === 'Escape') { e.preventDefault(); done(false); }
    });
    field.addEventListener('blur', () => done(true));
  }

  fromPosition(p) { return this.reversed ? this.lo + this.hi - p : p; }
  toPosition(v) { return this.reversed ? this.lo + this.hi - v : v; }

  drawMarks() {
    const spacing = markSpacingSteps(this.min, this.max, this.step);
    const span = this.hi - this.lo;
    if (!(span > 0) || !(this.step > 0)) return;
    const every = spacing * this.step;
    const count = Math.floor(span / every + 1e-6);
    const fragment = document.createDocumentFragment();
    for (let k = 0; k <= count; ++k) {
      const mark = el('span', k === 0 || k === count ? 'tv-mark tv-mark-end' : 'tv-mark');
      // Marks count from the display minimum, which sits at the bottom.
      const fraction = (k * every) / span;
      mark.style.bottom = `calc(var(--tv-thumb) / 2 + (100% - var(--tv-thumb)) * ${this.reversed ? 1 - fraction : fraction})`;
      fragment.append(mark);
    }
    this.marks.append(fragment);
  }

  key(e) {
    const spacing = markSpacingSteps(this.min, this.max, this.step) * (this.step > 0 ? this.step : (this.hi - this.lo) / 100);
    const step = this.step > 0 ? this.step : (this.hi - this.lo) / 100;
    const up = this.reversed ? -1 : 1;
    let v = null;
    switch (e.key) {
      case 'ArrowUp': case 'ArrowRight': v = this.value + step * up; break;
      case 'ArrowDown': case 'ArrowLeft': v = this.value - step * up; break;
      case 'PageUp': v = this.value + spacing * up; break;
      case 'PageDown': v = this.value - spacing * up; break;
      case 'Home': v = this.min; break;
      case 'End': v = this.max; break;
      default: return;
    }
    e.preventDefault();
    this.moved(v);
  }

  moved(v) {
    const snapped = snapToStep(v, this.step, this.min, this.max);
    this.show(snapped);
    this.onInput?.(snapped);
  }

  show(v) {
    this.value = v;
    this.input.value = String(this.toPosition(v));
    this.output.textContent = sliderText(v, this.step);
    this.input.setAttribute('aria-valuetext', this.output.textContent);
  }

  setEnabled(on) { this.input.disabled = !on; }
}

// Sending a widget's value: one request at a time; while one is out, only the
// latest new value waits. The read-back is shown once nothing more waits.
class Sender {
  constructor(send, showReadBack) {
    this.send = send;
    this.showReadBack = showReadBack;
    this.busy = false;
    this.waiting = null;
  }
  get active() { return this.busy; }
  async post(value) {
    if (this.busy) {
      this.waiting = { value };
      return;
    }
    this.busy = true;
    let next = value;
    for (;;) {
      let readBack = null;
      try {
        readBack = await this.send(next);
      } catch {
        readBack = null;
      }
      if (this.waiting) {
        next = this.waiting.value;
        this.waiting = null;
        continue;
      }
      this.busy = false;
      if (readBack !== null && readBack !== undefined) this.showReadBack(readBack);
      return;
    }
  }
}

// The caption above a widget. A list control's label is its item text, one
// item a line: shown as "Off / On".
function captionOf(label) {
  const text = String(label ?? '').split('\n').filter((t) => t !== '').join(' / ');
  const caption = el('div', 'tv-control-label', text);
  caption.title = text;
  return caption;
}

// Builds the widget of one control node of the page tree. `send(value)` posts
// the value and resolves to the read-back (or null when refused). Returns
// { element, show(value), setEnabled(on), busy }.
// `listName` is the visible and accessible name of a list switch (whose label is
// its item list): the group's title, numbered when the group has several.
export function createWidget(control, send, { listName = '' } = {}) {
  switch (control.widget) {
    case 'slider': return sliderWidget(control, send, false);
    case 'level_slider': return sliderWidget(control, send, true);
    case 'list_switch': return listWidget(control, send, listName);
    case 'frequency': return frequencyWidget(control, send);
    case 'delay': return delayWidget(control, send);
    default: return null;
  }
}

function cell(control, kindClass) {
  const element = el('div', `tv-control ${kindClass}`);
  element.style.width = `${(control.width_units || 1) * WIDTH_UNIT_PX}px`;
  element.style.height = `${CONTROL_HEIGHT_PX}px`;
  element.style.left = `${(control.x_units || 0) * WIDTH_UNIT_PX}px`;
  element.dataset.index = String(control.index);
  return element;
}

function sliderWidget(control, send, level) {
  const element = cell(control, level ? 'tv-level-slider' : 'tv-slider-control');
  let sender;
  const slider = new VerticalSlider({
    label: control.label, min: control.min, max: control.max, step: control.step,
    onInput: (v) => sender.post(v),
  });
  sender = new Sender(send, (v) => show(v));
  element.append(captionOf(control.label));
  const body = el('div', 'tv-control-body');
  body.append(slider.element);
  let bar = null;
  if (level) {
    // The level bar beside the slider shows where the level sits in its range.
    bar = el('div', 'tv-level-bar');
    bar.setAttribute('aria-hidden', 'true');
    bar.append(el('div', 'tv-level-fill'));
    body.append(bar);
  }
  element.append(body);
  function show(v) {
    slider.show(snapToStep(v, control.step, control.min, control.max));
    if (bar) {
      const span = control.max - control.min;
      const fraction = span ? (slider.value - control.min) / span : 0;
      bar.firstChild.style.height = `${Math.max(0, Math.min(1, fraction)) * 100}%`;
    }
  }
  return {
    element, show,
    setEnabled: (on) => slider.setEnabled(on),
    get busy() { return sender.active || element.matches(':active'); },
  };
}

function listWidget(control, send, name) {
  const element = cell(control, 'tv-list-switch');
  const select = el('select');
  const items = String(control.label ?? '').split('\n').filter((t) => t !== '').join(' / ');
  select.setAttribute('aria-label', name || items);
  select.title = items;
  (control.items || []).forEach((item, i) => {
    const option = el('option', '', item);
    option.value = String(i);
    select.append(option);
  });
  const base = Math.min(control.min, control.max) || 0;
  const sender = new Sender(send, (v) => show(v));
  select.addEventListener('change', () => sender.post(base + Number(select.value)));
  // The list's label is its items, which the select itself shows: the caption
  // above it names what it switches.
  if (name) element.append(captionOf(name));
  element.append(select);
  function show(v) {
    const i = Math.round(v - base);
    select.value = String(Math.max(0, Math.min((control.items || []).length - 1, i)));
  }
  return {
    element, show,
    setEnabled: (on) => { select.disabled = !on; },
    get busy() { return sender.active; },
  };
}

function frequencyWidget(control, send) {
  const element = cell(control, 'tv-frequency');
  const model = new FrequencyControl();
  const sender = new Sender(send, (v) => show(v));
  const range = el('select');
  range.setAttribute('aria-label', `${control.label} range`);
  FREQUENCY_RANGES.forEach((r, i) => {
    const option = el('option', '', r.label);
    option.value = String(i);
    range.append(option);
  });
  const body = el('div', 'tv-control-body');
  const sliderBox = el('div', 'tv-frequency-slider');
  const sliderCaption = el('div', 'tv-sub-label', FREQUENCY_SLIDER_LABEL);
  let slider = null;
  // One slider per range; only the selected range's slider is built and shown.
  function buildSlider() {
    const r = FREQUENCY_RANGES[model.range];
    slider?.element.remove();
    slider = new VerticalSlider({
      label: control.label, min: r.min, max: r.max, step: r.step,
      onInput: (v) => sender.post(model.moveSlider(v)),
    });
    slider.setEnabled(enabled);
    sliderBox.append(slider.element);
    built = model.range;
  }
  let built = -1;
  let enabled = true;
  const side = el('div', 'tv-frequency-side');
  side.append(el('div', 'tv-sub-label', 'Range'), range);
  // The range's slider is labelled "Freq"; said once when the control is too.
  if (control.label !== FREQUENCY_SLIDER_LABEL) sliderBox.append(sliderCaption);
  body.append(side, sliderBox);
  element.append(captionOf(control.label), body);
  range.addEventListener('change', () => {
    const v = model.selectRange(Number(range.value));
    buildSlider();
    slider.show(v);
    sender.post(v);
  });
  function show(v) {
    model.show(v);
    range.value = String(model.range);
    if (built !== model.range) buildSlider();
    slider.show(model.value);
  }
  buildSlider();
  return {
    element, show,
    setEnabled: (on) => { enabled = on; range.disabled = !on; slider.setEnabled(on); },
    get busy() { return sender.active || element.matches(':active'); },
  };
}

function delayWidget(control, send) {
  const element = cell(control, 'tv-delay');
  const sender = new Sender(send, (v) => show(v));
  const caption = el('div', 'tv-delay-caption');
  const parts = decomposeDelayMs(0);
  const sliders = DELAY_SLIDERS.map((d) => {
    const slider = new VerticalSlider({
      label: `${control.label} ${d.suffix}`, min: d.min, max: d.max, step: d.step,
      onInput: (v) => {
        parts[d.key] = v;
        const ms = composeDelayMs(parts);
        caption.textContent = delayCaption(ms);
        sender.post(ms);
      },
    });
    const column = el('div', 'tv-delay-column');
    column.append(slider.element, el('div', 'tv-sub-label', d.suffix));
    return { d, slider, column };
  });
  const body = el('div', 'tv-control-body tv-delay-body');
  for (const s of sliders) body.append(s.column);
  element.append(captionOf(control.label), body, caption);
  function show(v) {
    Object.assign(parts, decomposeDelayMs(v));
    for (const s of sliders) s.slider.show(parts[s.d.key]);
    caption.textContent = delayCaption(composeDelayMs(parts));
  }
  show(control.default ?? 0);
  return {
    element, show,
    setEnabled: (on) => sliders.forEach((s) => s.slider.setEnabled(on)),
    get busy() { return sender.active || element.matches(':active'); },
  };
}

// ---- Pop-up menu ----

let openMenu = null;

// Opens a role="menu" at (x, y) with `entries`: {label, disabled, checked,
// action} or {separator:true}. An entry with `checked` defined is a
// menuitemcheckbox. Escape, a click elsewhere or a choice closes it.
export function popupMenu(x, y, entries, { label = 'Menu' } = {}) {
  closePopupMenu();
  const opener = document.activeElement;
  const menu = el('div', 'tv-popup-menu');
  menu.setAttribute('role', 'menu');
  menu.setAttribute('aria-label', label);
  menu.tabIndex = -1;
  const items = [];
  for (const entry of entries) {
    if (entry.separator) {
      const sep = el('div', 'tv-menu-separator');
      sep.setAttribute('role', 'separator');
      menu.append(sep);
      continue;
    }
    const item = el('div', 'tv-menu-item', entry.label);
    const checkbox = entry.checked !== undefined;
    // The check mark is drawn by an element kept out of the entry's name.
    if (checkbox && entry.checked) {
      const mark = el('span', 'tv-menu-check', '\u2713');
      mark.setAttribute('aria-hidden', 'true');
      item.prepend(mark);
    }
    item.setAttribute('role', checkbox ? 'menuitemcheckbox' : 'menuitem');
    if (checkbox) item.setAttribute('aria-checked', entry.checked ? 'true' : 'false');
    if (entry.disabled) item.setAttribute('aria-disabled', 'true');
    item.tabIndex = -1;
    item.addEventListener('click', (e) => {
      e.stopPropagation();
      if (entry.disabled) return;
      closePopupMenu();
      entry.action?.();
    });
    item.addEventListener('mouseenter', () => item.focus());
    items.push(item);
    menu.append(item);
  }
  menu.addEventListener('keydown', (e) => {
    const at = items.indexOf(document.activeElement);
    if (e.key === 'Escape') { e.preventDefault(); closePopupMenu(); }
    else if (e.key === 'ArrowDown') { e.preventDefault(); items[(at + 1) % items.length]?.focus(); }
    else if (e.key === 'ArrowUp') { e.preventDefault(); items[(at - 1 + items.length) % items.length]?.focus(); }
    else if (e.key === 'Enter' || e.key === ' ') { e.preventDefault(); document.activeElement?.click(); }
  });
  menu.addEventListener('contextmenu', (e) => e.preventDefault());
  document.body.append(menu);
  // Keep the menu inside the viewport.
  const rect = menu.getBoundingClientRect();
  menu.style.left = `${Math.max(0, Math.min(x, window.innerWidth - rect.width - 2))}px`;
  menu.style.top = `${Math.max(0, Math.min(y, window.innerHeight - rect.height - 2))}px`;
  const away = (e) => { if (!menu.contains(e.target)) closePopupMenu(); };
  const blur = () => closePopupMenu();
  setTimeout(() => {
    document.addEventListener('pointerdown', away, true);
    window.addEventListener('blur', blur);
  });
  openMenu = { menu, opener, cleanup: () => {
    document.removeEventListener('pointerdown', away, true);
    window.removeEventListener('blur', blur);
  } };
  (items.find((i) => !i.hasAttribute('aria-disabled')) || menu).focus();
  return menu;
}

export function closePopupMenu() {
  if (!openMenu) return;
  const { menu, opener, cleanup } = openMenu;
  openMenu = null;
  cleanup();
  // Focus goes back where it was when the menu had it (Escape, a choice).
  const hadFocus = menu.contains(document.activeElement);
  menu.remove();
  if (hadFocus && opener instanceof HTMLElement && opener.isConnected) opener.focus();
}

// ---- Styles ----

// The widgets' and the bar's look, added once to the document. Colours come
// from the style variables the main window sets, with the program's defaults.
const STYLE = `
.tv-popup-menu { position: fixed; z-index: 1000; min-width: 14em; padding: 3px 0;
  background: var(--DarkBackground, #2f2f2f); color: var(--TextColor, #fff);
  border: 1px solid var(--Foreground, #808080); box-shadow: 0 4px 14px #000a; font: var(--MediumFont, 12px calibri, sans-serif); }
.tv-popup-menu .tv-menu-item { padding: 4px 18px 4px 24px; cursor: default; white-space: nowrap; position: relative; outline: none; }
.tv-popup-menu .tv-menu-item:focus, .tv-popup-menu .tv-menu-item:hover { background: var(--Tab_Active, #206bb7); }
.tv-popup-menu .tv-menu-item[aria-disabled="true"] { color: var(--GrayedTextColor, #c0c0c0); opacity: .55; background: none; }
.tv-popup-menu .tv-menu-check { position: absolute; left: 7px; }
.tv-popup-menu .tv-menu-separator { height: 1px; margin: 3px 6px; background: var(--Foreground, #808080); }

.tv-control { position: absolute; top: 0; box-sizing: border-box; display: flex; flex-direction: column;
  align-items: center; padding: 2px 3px 3px; border-right: 1px solid #0004; --tv-thumb: 12px; }
.tv-control:last-child { border-right: none; }
.tv-control-label { font: var(--SmallFont, 11px calibri, sans-serif); font-weight: 600; color: var(--TextColor, #fff);
  text-align: center; line-height: 1.1; height: 2.2em; overflow: hidden; width: 100%; word-break: break-word; flex: none;
  display: -webkit-box; -webkit-box-orient: vertical; -webkit-line-clamp: 2; }
.tv-control-body { flex: 1; display: flex; gap: 4px; min-height: 0; width: 100%; justify-content: center; }
.tv-sub-label { font: var(--SmallFont, 10px calibri, sans-serif); color: var(--GrayedTextColor, #c0c0c0); text-align: center; }
.tv-slider { display: flex; flex-direction: column; align-items: center; min-height: 0; flex: 0 0 auto; height: 100%; }
.tv-readout-edit { width: 4.2em; font: var(--MediumFont, 12px calibri, sans-serif); text-align: center; }
.tv-readout { cursor: text; display: block; min-width: 4.2em; padding: 0 3px; text-align: center; font: var(--MediumFont, 12px calibri, sans-serif);
  font-variant-numeric: tabular-nums; color: var(--TextColor, #fff); background: var(--MeterBackground, #000);
  border: 1px solid #0008; border-radius: 2px; line-height: 1.35; }
.tv-slider-track { position: relative; flex: 1; min-height: 40px; width: 38px; margin-top: 3px; }
.tv-slider-marks { position: absolute; inset: 0 0 0 26px; }
.tv-mark { position: absolute; left: 0; width: 6px; height: 1px; background: var(--GrayedTextColor, #c0c0c0); opacity: .7; }
.tv-mark-end { width: 9px; opacity: 1; }
.tv-slider-track input[type=range] { position: absolute; left: 4px; top: 0; height: 100%; width: 18px; margin: 0;
  writing-mode: vertical-lr; direction: rtl; appearance: none; background: transparent; cursor: pointer; }
.tv-slider-track input[type=range]::-webkit-slider-runnable-track { width: 4px; border-radius: 2px;
  background: linear-gradient(var(--DarkBackground, #2f2f2f), #111); box-shadow: inset 0 0 0 1px #000; }
.tv-slider-track input[type=range]::-webkit-slider-thumb { appearance: none; width: 18px; height: var(--tv-thumb);
  border-radius: 2px; margin-left: -7px; background: linear-gradient(#e6e6e6, #9a9a9a); border: 1px solid #111;
  box-shadow: inset 0 -1px 0 #fff6, 0 1px 2px #000; }
.tv-slider-track input[type=range]:focus-visible { outline: none; }
.tv-slider-track input[type=range]:focus-visible::-webkit-slider-thumb { background: linear-gradient(#fff, var(--Tab_Highlighted, #2ea5de)); }
.tv-slider-track input[type=range]:disabled { cursor: default; }
.tv-slider-track input[type=range]:disabled::-webkit-slider-thumb { background: #6a6a6a; box-shadow: none; }
.tv-control select { font: var(--MediumFont, 12px calibri, sans-serif); background: var(--DarkBackground, #2f2f2f);
  color: var(--TextColor, #fff); border: 1px solid var(--Foreground, #808080); border-radius: 2px; padding: 2px; max-width: 100%; }
.tv-control select:disabled { color: var(--GrayedTextColor, #c0c0c0); opacity: .6; }
.tv-list-switch select { margin-top: 8px; width: 100%; }
.tv-frequency .tv-control-body { align-items: stretch; }
.tv-frequency-side { display: flex; flex-direction: column; gap: 3px; padding-top: 18px; width: 84px; }
.tv-frequency-slider { display: flex; flex-direction: column; align-items: center; min-height: 0; }
.tv-frequency-slider .tv-slider { height: auto; flex: 1; }
.tv-delay-body { gap: 0; }
.tv-delay-column { display: flex; flex-direction: column; align-items: center; width: 82px; min-height: 0; }
.tv-delay-column .tv-slider { flex: 1; height: auto; }
.tv-delay-caption { font: var(--MediumFont, 12px calibri, sans-serif); color: var(--TextColor, #fff); font-variant-numeric: tabular-nums; }
.tv-level-bar { width: 8px; margin: 22px 0 6px; background: var(--MeterBackground, #000); border: 1px solid #0008;
  display: flex; flex-direction: column-reverse; }
.tv-level-fill { background: var(--MeterBarLevel1, #40ff40); }
`;

export function installStyle(id, css) {
  // Without a document (the rules loaded on their own) there is nothing to style.
  if (typeof document === 'undefined' || document.getElementById(id)) return;
  const style = document.createElement('style');
  style.id = id;
  style.textContent = css;
  document.head.append(style);
}
installStyle('tv-widgets-style', STYLE);
