// The "Edit Dayparts" dialog: a day-part's weekly schedule of presets. It
// works on a copy of the table with the same add and delete rules as the
// program; OK sends the whole table, which the program checks again entry by
// entry before putting it in place.
import { get, command } from './api.js';
import { openDialog, messageBox } from './dialog.js';
import { installStyle } from './widgets.js';

export const EDITOR_TITLE = 'Edit Dayparts';
export const MAX_ENTRIES = 20;
// The editor's day list, Monday first.
export const EDITOR_DAYS = ['Monday', 'Tuesday', 'Wednesday', 'Thursday', 'Friday', 'Saturday', 'Sunday'];
const DAY_NAMES = ['Sunday', 'Monday', 'Tuesday', 'Wednesday', 'Thursday', 'Friday', 'Saturday'];

// Time codes: (day + 1) * 65536 + hour * 256 + minute, day 0 = Sunday.
export function dayOfEditorItem(item) { return item === 6 ? 0 : item + 1; }
export function editorItemOfDay(day) { return day === 0 ? 6 : day - 1; }
export function timeCode(day, hour, minute) { return (day + 1) * 65536 + hour * 256 + minute; }
export function splitTimeCode(code) {
  return { day: (code >>> 16) - 1, hour: (code >>> 8) & 0xff, minute: code & 0xff };
}
const two = (n) => String(n).padStart(2, '0');
export function timeCodeText(code) {
  const { day, hour, minute } = splitTimeCode(code);
  const name = code >= 0x10000 && day >= 0 && day < 7 ? DAY_NAMES[day] : '?';
  if (hour > 23 || minute > 59) return `${name} ?`;
  return `${name} ${two(hour)}:${two(minute)}`;
}

// A preset name: 1 to 63 characters, no "\" or "/".
export function validName(name) {
  return typeof name === 'string' && name.length >= 1 && name.length <= 63 && !/[\\/]/.test(name);
}

// The editor's copy of the table. add and remove answer {ok, message}.
export class DaypartCopy {
  constructor(entries) {
    this.entries = entries.map((e) => ({ time_code: e.time_code, preset: e.preset }))
      .sort((a, b) => a.time_code - b.time_code);
    this.changed = false;
  }
  add(dayItem, hour, minute, preset) {
    if (this.entries.length >= MAX_ENTRIES) return { ok: false, message: 'A day-part holds at most 20 entries' };
    if (!validName(preset)) return { ok: false, message: 'Choose a preset for the entry' };
    if (!(dayItem >= 0 && dayItem < 7) || !(hour >= 0 && hour <= 23) || !(minute >= 0 && minute <= 59))
      return { ok: false, message: 'Choose a day, an hour and a minute' };
    const code = timeCode(dayOfEditorItem(dayItem), hour, minute);
    let at = this.entries.findIndex((e) => e.time_code >= code);
    if (at < 0) at = this.entries.length;
    if (this.entries[at]?.time_code === code) return { ok: false, message: 'An entry with that day and time already exists' };
    this.entries.splice(at, 0, { time_code: code, preset });
    this.changed = true;
    return { ok: true, position: at };
  }
  remove(position) {
    if (!(position >= 0 && position < this.entries.length)) return { ok: false, message: '' };
    this.entries.splice(position, 1);
    this.changed = true;
    return { ok: true };
  }
  // The form fields of POST /api/dayparts/edit.
  fields() {
    const f = { count: String(this.entries.length) };
    this.entries.forEach((e, k) => {
      const { day, hour, minute } = splitTimeCode(e.time_code);
      f[`day_item.${k}`] = String(editorItemOfDay(day));
      f[`hour.${k}`] = String(hour);
      f[`minute.${k}`] = String(minute);
      f[`preset.${k}`] = e.preset;
    });
    return f;
  }
}

function el(tag, className, text) {
  const e = document.createElement(tag);
  if (className) e.className = className;
  if (text !== undefined) e.textContent = text;
  return e;
}

function labelled(text, control) {
  const wrap = el('label', 'tv-dp-field');
  wrap.append(el('span', '', text), control);
  return wrap;
}

function selectOf(label, items) {
  const select = el('select');
  select.setAttribute('aria-label', label);
  items.forEach((item, i) => select.append(new Option(item, String(i))));
  return select;
}

// Opens the editor for the bar of (instance, page); `name` is the current
// day-part's name. Resolves to the preset bar the program answered when a
// changed table was accepted, or null.
export async function openDaypartEditor({ instance, page, name = '' }) {
  let table;
  try {
    table = await get('/api/dayparts', { instance, page });
  } catch (error) {
    await messageBox(error.body?.message || error.message, error.body?.title || EDITOR_TITLE);
    return null;
  }
  const copy = new DaypartCopy(table.entries || []);

  const body = el('div', 'tv-dp');
  const heading = el('div', 'tv-dp-name');
  heading.append(el('span', 'tv-dp-caption', 'Day part '), el('strong', '', name || '(none)'));

  const entries = el('select', 'tv-dp-entries');
  entries.size = 12;
  entries.setAttribute('aria-label', 'Entries');

  const presetSelect = el('select');
  presetSelect.setAttribute('aria-label', 'Preset');
  const refresh = el('button', '', 'Refresh');
  refresh.type = 'button';
  refresh.setAttribute('aria-label', 'Refresh presets');
  const days = selectOf('Day', EDITOR_DAYS);
  const hours = selectOf('Hour', Array.from({ length: 24 }, (_, i) => two(i)));
  const minutes = selectOf('Minute', Array.from({ length: 60 }, (_, i) => two(i)));
  const add = el('button', '', 'Add');
  add.type = 'button';
  const remove = el('button', '', 'Delete');
  remove.type = 'button';

  function fillPresets(names, keep) {
    presetSelect.replaceChildren();
    for (const n of names) presetSelect.append(new Option(n, n));
    if (keep && names.includes(keep)) presetSelect.value = keep;
  }
  fillPresets(table.presets || [], '');

  function drawEntries(select = -1) {
    entries.replaceChildren();
    copy.entries.forEach((e, i) => {
      const option = new Option(`${timeCodeText(e.time_code)}\u00a0\u00a0\u00a0${e.preset}`, String(i));
      entries.append(option);
    });
    if (select >= 0 && select < copy.entries.length) entries.value = String(select);
    remove.disabled = entries.selectedIndex < 0;
    add.disabled = copy.entries.length >= MAX_ENTRIES;
  }
  drawEntries();

  entries.addEventListener('change', () => {
    remove.disabled = entries.selectedIndex < 0;
    // Show the chosen entry's time and preset in the fields, handy for a
    // neighbouring entry.
    const e = copy.entries[entries.selectedIndex];
    if (!e) return;
    const { day, hour, minute } = splitTimeCode(e.time_code);
    days.value = String(editorItemOfDay(day));
    hours.value = String(hour);
    minutes.value = String(minute);
    if ([...presetSelect.options].some((o) => o.value === e.preset)) presetSelect.value = e.preset;
  });
  refresh.addEventListener('click', async () => {
    try {
      const again = await get('/api/dayparts', { instance, page });
      fillPresets(again.presets || [], presetSelect.value);
    } catch { /* keep the list shown */ }
  });
  add.addEventListener('click', async () => {
    const result = copy.add(Number(days.value), Number(hours.value), Number(minutes.value), presetSelect.value);
    if (!result.ok) {
      await messageBox(result.message, EDITOR_TITLE);
      return;
    }
    drawEntries(result.position);
  });
  remove.addEventListener('click', () => {
    const at = entries.selectedIndex;
    if (!copy.remove(at).ok) return;
    drawEntries(Math.min(at, copy.entries.length - 1));
  });

  const left = el('div', 'tv-dp-left');
  left.append(heading, entries);
  const right = el('div', 'tv-dp-right');
  const presetRow = el('div', 'tv-dp-preset-row');
  presetRow.append(labelled('Preset', presetSelect), refresh);
  const timeRow = el('div', 'tv-dp-time-row');
  timeRow.append(labelled('Day', days), labelled('Hour', hours), labelled('Minute', minutes));
  const actions = el('div', 'tv-dp-actions');
  actions.append(add, remove);
  right.append(presetRow, timeRow, actions);
  body.append(left, right);

  let answer = null;
  const pressed = await openDialog(EDITOR_TITLE, body, ['OK', 'Cancel'], {
    className: 'tv-daypart-dialog',
    onButton: async (label) => {
      if (label !== 'OK' || !copy.changed) return true;
      const sent = await command('/api/dayparts/edit', { instance, page, ...copy.fields() });
      if (!sent.ok) return false; // the refusal was shown; the editor stays open
      answer = sent.presets || null;
      return true;
    },
  });
  return pressed === 'OK' && copy.changed ? answer : null;
}

installStyle('tv-dayparts-style', `
.tv-daypart-dialog .tv-dp { display: flex; gap: 14px; }
.tv-dp-left { display: flex; flex-direction: column; gap: 6px; }
.tv-dp-entries { width: 300px; font-family: ui-monospace, monospace; font-size: 12px; white-space: pre;
  background: var(--DarkBackground, #2f2f2f); color: var(--TextColor, #fff); border: 1px solid var(--Foreground, #808080); }
.tv-dp-right { display: flex; flex-direction: column; gap: 10px; min-width: 240px; }
.tv-dp-field { display: flex; flex-direction: column; gap: 2px; color: var(--GrayedTextColor, #c0c0c0); font-size: 11px; }
.tv-dp-field select { font: var(--MediumFont, 12px calibri, sans-serif); min-width: 4em; }
.tv-dp-preset-row, .tv-dp-time-row, .tv-dp-actions { display: flex; gap: 8px; align-items: flex-end; }
.tv-dp-preset-row .tv-dp-field { flex: 1; }
.tv-dp-name { color: var(--GrayedTextColor, #c0c0c0); }
.tv-dp-name strong { color: var(--TextColor, #fff); }
`);
