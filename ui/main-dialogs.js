// The commands of the main menu: one handler per command id of the server's
// menu. Each talks to the program through api.js and shows its dialog through
// dialog.js. `runCommand(id, context)` is the single entry point; `context`
// gives the latest state and lets a command ask the window for a refresh:
//   { state(): object, reloadPage(): void, stopped(): void }

import { get, command } from './api.js';
import { openDialog, messageBox, askYesNo } from './dialog.js';
import { soundMultiSettings, soundSingleSettings, soundSingleChannels, soundInterface } from './sound-dialogs.js';
import { rdsOptions, rdsSettings, rdsRotation, rdsTa, nowPlaying } from './rds-dialogs.js';
import { stlTxSettings, stlRxSettings } from './stl-dialogs.js';
import { streamingSettings } from './stream-dialogs.js';

export const NOT_AVAILABLE = 'This dialog is not available in this build';
// Longer names than the program keeps may be typed: the program says what is wrong
// instead of the field cutting them without a word.
const MAX_NAME = 255;
const MAX_PASSWORD = 63;

// Colour names each colour dialog edits, in the order they are listed.
export const WINDOW_COLOR_NAMES = [
  'Background', 'Foreground', 'DarkBackground', 'Title', 'TitleTextColor', 'TextColor',
  'Tab_Inactive', 'Tab_Highlighted', 'Tab_Active', 'GrayedTextColor', 'Progress', 'ProgressBk',
];
export const GRAPH_COLOR_NAMES = ['RedPen', 'GreenPen', 'SumPen', 'GratPen'];
export const FONT_NAMES = ['SmallFont', 'MediumFont', 'TitleFont', 'LargeFont'];

const handlers = {
  new_instance: newInstance,
  close_instance: closeInstance,
  rename_instance: renameInstance,
  cpu_load: cpuLoad,
  affinity,
  processor_type: processorType,
  processor_latency: processorLatency,
  log_on: logOn,
  log_off: logOff,
  change_password: changePassword,
  delete_old: deleteOld,
  toggle_minimize_to_tray: (ctx) => toggleDesktop(ctx, 'minimize_to_tray'),
  toggle_run_at_startup: (ctx) => toggleDesktop(ctx, 'run_at_startup'),
  toggle_confirm_exit: (ctx) => toggleDesktop(ctx, 'confirm_exit'),
  toggle_start_minimized: (ctx) => toggleDesktop(ctx, 'start_minimized'),
  colors: (ctx) => colorDialog(ctx, 'Colors', WINDOW_COLOR_NAMES),
  graph_colors: (ctx) => colorDialog(ctx, 'Graph Colors', GRAPH_COLOR_NAMES),
  fonts: fontDialog,
  version: (ctx) => helpText('Version', 'version'),
  copyrights: (ctx) => helpText('Copyrights', 'copyrights'),
  exit: exitProgram,
  config_download: downloadConfiguration,
  config_restore: restoreConfiguration,
  sound_multi_settings: (ctx) => soundMultiSettings(ctx.state()),
  sound_single_settings: (ctx) => soundSingleSettings(ctx.state()),
  sound_single_channels: (ctx) => soundSingleChannels(ctx.state()),
  stl_tx_settings: (ctx) => stlTxSettings(ctx.state()),
  stl_rx_settings: (ctx) => stlRxSettings(ctx.state()),
  player_mode: async (ctx) => {
    const { openPlayerSettings } = await import('./player.js');
    await openPlayerSettings(ctx.state().current);
  },
  rotation_settings: async (ctx) => {
    const { openRotationSettings } = await import('./player.js');
    await openRotationSettings(ctx.state().current);
  },
  rotation_weights: async (ctx) => {
    const { openRotationWeights } = await import('./player.js');
    await openRotationWeights(ctx.state().current);
  },
  sound_interface: async (ctx) => {
    await soundInterface(ctx.state());
    ctx.reloadPage();
  },
  rds_mode: rdsOptions,
  rds_settings: rdsSettings,
  rds_rotation: rdsRotation,
  rds_ta: rdsTa,
  now_playing: nowPlaying,
  stream_tx_settings: (ctx) => streamingSettings(ctx.state()),
};

// Runs the command `id` of a menu entry. Commands without a dialog in this
// build say so.
export async function runCommand(id, context) {
  const handler = handlers[id];
  if (!handler) {
    await messageBox(NOT_AVAILABLE, 'Error');
    return;
  }
  try {
    await handler(context);
  } catch (error) {
    const body = error?.body;
    await messageBox(body?.message || String(error?.message || error), body?.title || 'Error');
  }
}

// ---- helpers ----

function element(tag, props = {}, ...children) {
  const node = document.createElement(tag);
  for (const [key, value] of Object.entries(props)) {
    if (key === 'class') node.className = value;
    else if (key === 'text') node.textContent = value;
    else if (key.startsWith('aria-') || key === 'role' || key === 'for') node.setAttribute(key, value);
    else node[key] = value;
  }
  node.append(...children);
  return node;
}

// A labelled text input inside the dialog layout.
function field(label, { type = 'text', value = '', maxLength = MAX_NAME } = {}) {
  const input = element('input', { type, value, maxLength, 'aria-label': label, autocomplete: 'off' });
  if (type === 'password') input.autocomplete = 'new-password';
  const wrap = element('label', { class: 'tv-field' }, label, input);
  return { wrap, input };
}

// Enter in any text field presses the first button.
function enterPressesFirst(body) {
  body.addEventListener('keydown', (e) => {
    if (e.key !== 'Enter' || e.target.tagName !== 'INPUT') return;
    e.preventDefault();
    e.target.closest('dialog')?.querySelector('.tv-dialog-buttons button')?.click();
  });
}

// Asks for a name; an empty name keeps the dialog open. Resolves to the name
// or null on Cancel.
async function askName(title, label, initial) {
  const { wrap, input } = field(label, { value: initial, maxLength: MAX_NAME });
  enterPressesFirst(wrap);
  const pressed = await openDialog(title, wrap, ['OK', 'Cancel'], {
    onButton: (button) => button !== 'OK' || input.value.length > 0,
  });
  return pressed === 'OK' ? input.value : null;
}

function currentInstance(ctx) {
  return ctx.state()?.current ?? null;
}

async function needInstance(ctx) {
  const instance = currentInstance(ctx);
  if (instance === null) await messageBox('There is no instance', 'Error');
  return instance;
}

function valuesChanged(ctx) {
  const state = ctx.state();
  if (state?.current != null) {
    document.dispatchEvent(new CustomEvent('tv-values-changed', { detail: { instance: state.current, page: state.page } }));
  }
}

// ---- Instances ----

async function newInstance(ctx) {
  const state = ctx.state();
  if (state && state.instances.length >= (state.max_instances ?? 8)) {
    await messageBox('The maximum number of processors has been reached', 'Error');
    return;
  }
  const name = await askName('New Instance', 'Name', '');
  if (name === null) return;
  await command('/api/instance/new', { name });
}

async function closeInstance() {
  await command('/api/instance/close');
}

async function renameInstance(ctx) {
  const current = await needInstance(ctx);
  if (current === null) return;
  const name = await askName('Rename Instance', 'Name', current);
  if (name === null || name === current) return;
  await command('/api/instance/rename', { name });
}

// ---- CPU load, affinity, processor ----

async function cpuLoad(ctx) {
  const instance = await needInstance(ctx);
  if (instance === null) return;
  const fill = element('div', { class: 'tv-cpu-fill' });
  const bar = element('div', {
    class: 'tv-cpu-bar', role: 'progressbar', 'aria-label': 'CPU Load',
    'aria-valuemin': '0', 'aria-valuemax': '100', 'aria-valuenow': '0',
  }, fill);
  const text = element('div', { class: 'tv-cpu-text', text: '—' });
  const body = element('div', {}, bar, text);
  let busy = false;
  const draw = async () => {
    if (busy) return;
    busy = true;
    try {
      const { load } = await get('/api/cpu', { instance });
      const fraction = Math.max(0, Math.min(1, Number(load) || 0));
      fill.style.width = `${fraction * 100}%`;
      bar.setAttribute('aria-valuenow', (fraction * 100).toFixed(1));
      text.textContent = `${(fraction * 100).toFixed(1)} %`;
    } catch {
      text.textContent = 'No reading';
    } finally {
      busy = false;
    }
  };
  draw();
  const timer = setInterval(draw, 300);
  try {
    await openDialog('CPU Load', body, ['Close']);
  } finally {
    clearInterval(timer);
  }
}

async function affinity(ctx) {
  const instance = await needInstance(ctx);
  if (instance === null) return;
  const info = await get('/api/affinity', { instance });
  const mask = BigInt(info.mask ?? '0');
  const allowed = BigInt(info.allowed ?? '0');
  const grid = element('div', { class: 'tv-affinity-grid', role: 'group', 'aria-label': 'CPUs' });
  const boxes = [];
  for (let cpu = 1; cpu <= 64; ++cpu) {
    const bit = 1n << BigInt(cpu - 1);
    const box = element('input', { type: 'checkbox', checked: (mask & bit) !== 0n, disabled: (allowed & bit) === 0n });
    box.setAttribute('aria-label', `CPU ${cpu}`);
    const label = element('label', { class: box.disabled ? 'tv-off' : '' }, box, `CPU ${cpu}`);
    grid.append(label);
    boxes.push({ box, bit });
  }
  const pressed = await openDialog('Affinity', grid, ['Select All', 'Clear', 'OK', 'Cancel'], {
    onButton: (button) => {
      if (button === 'Select All' || button === 'Clear') {
        for (const { box } of boxes) if (!box.disabled) box.checked = button === 'Select All';
        return false;
      }
      return true;
    },
  });
  if (pressed !== 'OK') return;
  let chosen = 0n;
  for (const { box, bit } of boxes) if (box.checked) chosen |= bit;
  await command('/api/instance/affinity', { mask: chosen.toString() });
}

async function processorType(ctx) {
  const instance = await needInstance(ctx);
  if (instance === null) return;
  const info = await get('/api/processor', { instance });
  const types = info.types || ['Torvalen 5', 'Torvalen One'];
  const group = element('div', { class: 'tv-radios', role: 'radiogroup', 'aria-label': 'Processor Type' });
  const radios = [];
  for (const label of ['Torvalen One', 'Torvalen 5']) {
    let type = types.indexOf(label);
    if (type < 0) type = label === 'Torvalen One' ? 1 : 0;
    const radio = element('input', { type: 'radio', name: 'tv-proc-type', value: String(type), checked: type === info.type });
    radio.setAttribute('aria-label', label);
    group.append(element('label', {}, radio, label));
    radios.push(radio);
  }
  const pressed = await openDialog('Processor Type', group, ['OK', 'Cancel']);
  if (pressed !== 'OK') return;
  const chosen = radios.find((r) => r.checked);
  if (!chosen) return;
  const answer = await command('/api/processor/type', { type: chosen.value });
  if (answer.ok) {
    ctx.reloadPage();
    valuesChanged(ctx);
  }
}

async function processorLatency(ctx) {
  const instance = await needInstance(ctx);
  if (instance === null) return;
  const info = await get('/api/processor', { instance });
  const body = element('p', { class: 'tv-message' },
    'Processor latency: ', element('span', { class: 'tv-readout', text: info.latency_text ?? '' }));
  await openDialog('Processor Latency', body, ['OK']);
}

// ---- Password ----

async function logOn(ctx) {
  const state = ctx.state();
  if (state && !state.password_set) {
    await command('/api/password/logon', { password: '' });
    return;
  }
  const { wrap, input } = field('Password', { type: 'password', maxLength: MAX_PASSWORD });
  enterPressesFirst(wrap);
  const pressed = await openDialog('Log On', wrap, ['OK', 'Cancel']);
  if (pressed !== 'OK') return;
  await command('/api/password/logon', { password: input.value });
}

async function logOff() {
  await command('/api/password/logoff');
}

async function changePassword() {
  const old = field('Old password', { type: 'password', maxLength: MAX_PASSWORD });
  const fresh = field('New password', { type: 'password', maxLength: MAX_PASSWORD });
  const body = element('div', {}, old.wrap, fresh.wrap);
  enterPressesFirst(body);
  const pressed = await openDialog('Change Password', body, ['OK', 'Cancel']);
  if (pressed !== 'OK') return;
  await command('/api/password/change', { old: old.input.value, new: fresh.input.value });
}

// ---- Settings ----

async function deleteOld() {
  await command('/api/delete_old');
}

async function toggleDesktop(ctx, name) {
  await command('/api/desktop/toggle', { name });
}

// ---- Style ----

function setColorVariable(name, hex) {
  document.documentElement.style.setProperty(`--${name}`, hex);
}

async function colorDialog(ctx, title, names) {
  const style = ctx.state()?.style;
  if (!style) return;
  const original = Object.fromEntries(names.map((n) => [n, style.colors[n] ?? '#000000']));
  const originalCustom = [...(style.custom || [])];
  const custom = [...originalCustom];
  const changed = new Set();
  const changedCustom = new Set();

  const listId = `tv-custom-colors-${Date.now()}`;
  const datalist = element('datalist', { id: listId });
  const fillDatalist = () => datalist.replaceChildren(...custom.map((c) => element('option', { value: c })));
  fillDatalist();

  const table = element('div', { class: 'tv-color-table', role: 'group', 'aria-label': title });
  const rows = [];
  let selected = null;
  const select = (row) => {
    selected = row;
    for (const r of rows) r.node.classList.toggle('tv-selected', r === row);
  };
  const send = async (fields) => {
    const answer = await command('/api/style', fields);
    return answer.ok;
  };
  for (const name of names) {
    const input = element('input', { type: 'color', value: original[name] });
    input.setAttribute('aria-label', name);
    input.setAttribute('list', listId);
    const hex = element('span', { class: 'tv-color-hex', text: original[name] });
    const node = element('div', { class: 'tv-color-row' }, element('span', { text: name }), input, hex);
    const row = { name, input, hex, node };
    rows.push(row);
    input.addEventListener('focus', () => select(row));
    input.addEventListener('click', () => select(row));
    input.addEventListener('input', () => {
      hex.textContent = input.value;
      setColorVariable(name, input.value);
    });
    input.addEventListener('change', async () => {
      changed.add(name);
      await send({ [`color.${name}`]: input.value });
    });
    table.append(node);
  }
  select(rows[0]);

  const swatches = element('div', { class: 'tv-swatches', role: 'group', 'aria-label': 'Custom colors' });
  const drawSwatches = () => {
    swatches.replaceChildren(...custom.map((color, k) => {
      const button = element('button', { type: 'button', title: color, 'aria-label': `Custom color ${k + 1}` });
      button.style.background = color;
      button.addEventListener('click', async () => {
        if (!selected) return;
        selected.input.value = color;
        selected.hex.textContent = color;
        setColorVariable(selected.name, color);
        changed.add(selected.name);
        await send({ [`color.${selected.name}`]: color });
      });
      return button;
    }));
  };
  drawSwatches();
  let nextCustom = 0;
  const addCustom = element('button', { type: 'button', text: 'Add to Custom Colors' });
  addCustom.addEventListener('click', async () => {
    if (!selected) return;
    const k = nextCustom;
    nextCustom = (nextCustom + 1) % 16;
    custom[k] = selected.input.value;
    changedCustom.add(k);
    fillDatalist();
    drawSwatches();
    await send({ [`custom.${k}`]: custom[k] });
  });

  const body = element('div', {}, table,
    element('div', { class: 'tv-swatches-label', text: 'Custom colors' }), swatches,
    element('div', { class: 'tv-affinity-tools' }, addCustom), datalist);
  const pressed = await openDialog(title, body, ['OK', 'Cancel']);
  if (pressed === 'OK' || (changed.size === 0 && changedCustom.size === 0)) return;
  // Cancel puts back what the dialog changed.
  const restore = {};
  for (const name of changed) {
    restore[`color.${name}`] = original[name];
    setColorVariable(name, original[name]);
  }
  for (const k of changedCustom) restore[`custom.${k}`] = originalCustom[k];
  await send(restore);
}

async function fontDialog(ctx) {
  const fonts = ctx.state()?.style?.fonts;
  if (!fonts) return;
  const table = element('div', { class: 'tv-font-table', role: 'group', 'aria-label': 'Fonts' });
  table.append(...['Font', 'Face', 'Points', 'Bold', 'Sample'].map((h) => element('strong', { text: h })));
  const rows = [];
  for (const name of FONT_NAMES) {
    const font = fonts[name] || { face: 'calibri', points: 9, weight: 400 };
    const face = element('input', { type: 'text', value: font.face, maxLength: 31, 'aria-label': `${name} face` });
    const points = element('input', { type: 'number', min: 1, max: 200, step: 1, value: font.points, 'aria-label': `${name} points` });
    const bold = element('input', { type: 'checkbox', checked: font.weight >= 600, 'aria-label': `${name} bold` });
    const sample = element('span', { class: 'tv-font-sample', text: 'Processor 0.0 dB' });
    const drawSample = () => {
      sample.style.fontFamily = `"${face.value}", var(--tv-fallback-faces)`;
      sample.style.fontSize = `${Math.min(48, (Number(points.value) || 1) * 96 / 72)}px`;
      sample.style.fontWeight = bold.checked ? '700' : '400';
    };
    for (const input of [face, points, bold]) input.addEventListener('input', drawSample);
    drawSample();
    table.append(element('span', { text: name }), face, points, bold, sample);
    rows.push({ name, font, face, points, bold });
  }
  const validFace = (text) => /^[\x20-\x7e]{1,31}$/.test(text) && !/["'\\;{}<>]/.test(text) && text.trim() === text;
  const pressed = await openDialog('Fonts', table, ['OK', 'Cancel'], {
    onButton: async (button) => {
      if (button !== 'OK') return true;
      const fields = {};
      for (const row of rows) {
        const points = Number(row.points.value);
        if (!validFace(row.face.value)) {
          await messageBox(`${row.name}: the face name must be 1 to 31 plain characters`, 'Fonts');
          return false;
        }
        if (!Number.isInteger(points) || points < 1 || points > 200) {
          await messageBox(`${row.name}: the size must be 1 to 200 points`, 'Fonts');
          return false;
        }
        if (row.face.value !== row.font.face) fields[`font.${row.name}.face`] = row.face.value;
        if (points !== row.font.points) fields[`font.${row.name}.points`] = String(points);
        const wasBold = row.font.weight >= 600;
        if (row.bold.checked !== wasBold) fields[`font.${row.name}.weight`] = row.bold.checked ? '700' : '400';
      }
      if (Object.keys(fields).length === 0) return true;
      const answer = await command('/api/style', fields);
      return answer.ok || !answer.message;
    },
  });
  return pressed;
}

// ---- Help and exit ----

async function helpText(title, member) {
  const help = await get('/api/help');
  const p = element('p', { class: 'tv-message' });
  String(help[member] ?? '').split(/\r?\n/).forEach((line, i) => {
    if (i) p.append(element('br'));
    p.append(line);
  });
  await openDialog(title, p, ['OK']);
}

async function exitProgram(ctx) {
  const answer = await command('/api/exit');
  if (answer.ok) ctx.stopped();
}

// ---- The whole configuration ----

async function downloadConfiguration() {
  const answer = await get('/api/config/download');
  const binary = atob(answer.content);
  const bytes = new Uint8Array(binary.length);
  for (let i = 0; i < binary.length; ++i) bytes[i] = binary.charCodeAt(i);
  const link = element('a', { href: URL.createObjectURL(new Blob([bytes], { type: 'application/octet-stream' })) });
  link.download = answer.file_name;
  document.body.append(link);
  link.click();
  link.remove();
  setTimeout(() => URL.revokeObjectURL(link.href), 10000);
}

async function restoreConfiguration() {
  const ask = 'Restoring replaces every setting of every instance at the next start of Torvalen.\r\n' +
    'The present settings are kept beside the restored ones. Choose the file?';
  if (!(await askYesNo(ask, 'Restore Configuration'))) return;
  const picker = element('input', { type: 'file', accept: '.db', hidden: true, 'aria-label': 'Configuration file' });
  const chosen = new Promise((resolve) => {
    picker.addEventListener('change', () => resolve(picker.files?.[0] ?? null), { once: true });
    picker.addEventListener('cancel', () => resolve(null), { once: true });
  });
  document.body.append(picker);
  picker.click();
  const file = await chosen;
  picker.remove();
  if (!file) return;
  const bytes = new Uint8Array(await file.arrayBuffer());
  let binary = '';
  for (let i = 0; i < bytes.length; i += 0x8000) binary += String.fromCharCode(...bytes.subarray(i, i + 0x8000));
  const answer = await command('/api/config/restore', { content: btoa(binary) });
  if (answer.ok) await messageBox(answer.notice, 'Restore Configuration');
}
