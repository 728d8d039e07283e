// The RDS dialogs of the Sound Out menu ("RDS Options", "RDS Settings" with its
// AF list, "Program Service Name Settings" with the PS texts' "String Settings",
// "RDS Traffic Announcement") and the "Now Playing Meta Data" dialog of the main
// menu. Every dialog reads its model from the server when it opens and sends a
// whole change; a refusal comes back as a message box and nothing is stored.
import { get, command } from './api.js';
import { openDialog, messageBox } from './dialog.js';
import { openFileDialog } from './files.js';

function el(tag, props = {}, ...children) {
  const node = document.createElement(tag);
  for (const [key, value] of Object.entries(props)) {
    if (key === 'class') node.className = value;
    else if (key === 'text') node.textContent = value;
    else if (key.startsWith('aria-') || key === 'role' || key === 'name') node.setAttribute(key, value);
    else node[key] = value;
  }
  node.append(...children);
  return node;
}

function labelled(label, control) {
  control.setAttribute('aria-label', label);
  return el('label', { class: 'tv-field' }, label, control);
}

function textInput(label, value, maxLength = 63) {
  const input = el('input', { type: 'text', value: value ?? '', maxLength, autocomplete: 'off' });
  return { input, wrap: labelled(label, input) };
}

function checkbox(label, checked) {
  const input = el('input', { type: 'checkbox', checked: !!checked });
  input.setAttribute('aria-label', label);
  return { input, wrap: el('label', { class: 'tv-check' }, input, label) };
}

function select(label, options, value) {
  const s = el('select');
  for (const [v, text] of options) s.append(el('option', { value: String(v), text }));
  s.value = String(value);
  return { input: s, wrap: labelled(label, s) };
}

function listBox(label, size = 8) {
  const s = el('select', { size });
  s.setAttribute('aria-label', label);
  return s;
}

function button(label, onClick) {
  const b = el('button', { type: 'button', text: label });
  b.addEventListener('click', onClick);
  return b;
}

const flag = (input) => (input.checked ? '1' : '0');

// A command whose answer may carry a notice (characters replaced): shown as a warning.
async function send(path, fields) {
  const answer = await command(path, fields);
  if (answer.ok && answer.notice) await messageBox(answer.notice, 'Warning');
  return answer.ok;
}

function instanceOf(ctx) {
  return ctx.state()?.current ?? null;
}

// ---- RDS Options ----

export async function rdsOptions(ctx) {
  const instance = instanceOf(ctx);
  const rds = await get('/api/rds', { instance });
  const mode = select('Mode', [[0, 'RDS'], [1, 'RBDS']], rds.rbds ? 1 : 0);
  const region = select('AM Region', [[0, 'AM Region 1/2'], [1, 'AM Region 3']], rds.region);
  const body = el('div', { class: 'tv-form' }, mode.wrap, region.wrap);
  await openDialog('RDS Options', body, ['OK', 'Cancel'], {
    onButton: async (label) => label !== 'OK' ||
      send('/api/rds/options', { instance, rbds: mode.input.value, region: region.input.value }),
  });
}

// ---- RDS Settings and the AF list ----

const FM_CHOICES = Array.from({ length: 203 }, (_, i) => (87.6 + i * 0.1).toFixed(1));

function amChoices(region) {
  const out = [];
  if (region === 1) {
    for (let f = 540; f <= 1700; f += 10) out.push(String(f));
  } else {
    for (let f = 153; f <= 279; f += 9) out.push(String(f));
    for (let f = 531; f <= 1602; f += 9) out.push(String(f));
  }
  return out;
}

async function afDialog(instance, rds) {
  const entries = rds.af.map((e) => ({ am: e.am, frequency: e.frequency, text: e.text }));
  const list = listBox('Alternative Frequencies');
  const draw = () => {
    list.replaceChildren(...entries.map((e, i) => el('option', { value: String(i), text: e.am ? e.text : `${e.text} MHz` })));
  };
  draw();
  const pick = async (title, choices, unit, am) => {
    const s = select(unit, choices.map((c) => [c, `${c} ${unit}`]), choices[0]);
    if ((await openDialog(title, s.wrap, ['OK', 'Cancel'])) !== 'OK') return;
    if (entries.length >= 25) { await messageBox('At most 25 alternative frequencies', 'Error'); return; }
    const frequency = Number(s.input.value);
    entries.push({ am, frequency, text: am ? `${s.input.value} kHz` : s.input.value });
    draw();
  };
  const body = el('div', { class: 'tv-form' }, list,
    el('div', { class: 'tv-row' },
      button('Add FM Alternative Frequency', () => pick('Add FM Alternative Frequency', FM_CHOICES, 'MHz', false)),
      button('Add AM Alternative Frequency', () => pick('Add AM Alternative Frequency', amChoices(rds.region), 'kHz', true)),
      button('Remove', () => {
        const i = list.selectedIndex;
        if (i >= 0) { entries.splice(i, 1); draw(); }
      })));
  await openDialog('Alternative Frequencies', body, ['OK', 'Cancel'], {
    onButton: async (label) => label !== 'OK' || send('/api/rds/af', {
      instance, entries: entries.map((e) => `${e.am ? 'am' : 'fm'}:${e.frequency}`).join(','),
    }),
  });
}

export async function rdsSettings(ctx) {
  const instance = instanceOf(ctx);
  const rds = await get('/api/rds', { instance });
  const pi = textInput('PI Code (Hex)', rds.pi, 5);
  const ecc = textInput('Extended Country Code (Hex)', rds.ecc, 5);
  const pty = select('Program Type', rds.pty_names.map((n, i) => [i, n]), rds.pty);
  const ptyn = textInput('Program Type Name', rds.ptyn.trimEnd(), 8);
  const ps = textInput('Fixed PS Name', rds.fixed_ps.trimEnd(), 8);
  const day = textInput('Day', rds.pin.day, 3);
  const hour = textInput('Hour', rds.pin.hour, 3);
  const minute = textInput('Minute', rds.pin.minute, 3);
  const boxes = {
    music: checkbox('Music', rds.music),
    tp: checkbox('Traffic Program', rds.tp),
    stereo: checkbox('Stereo', rds.stereo),
    compressed: checkbox('Compressed', rds.compressed),
    ptyn_enable: checkbox('Enable Program Type Name', rds.ptyn_enable),
    rt_enable: checkbox('Enable Radio Text', rds.rt_enable),
    clock: checkbox('Enable Clock', rds.clock),
    ps_rotation: checkbox('Enable PS Rotation', rds.ps_rotation),
  };
  const pin = el('fieldset', { class: 'tv-row' }, el('legend', { text: 'Program Item Number' }), day.wrap, hour.wrap, minute.wrap);
  const body = el('div', { class: 'tv-form' }, pi.wrap, ecc.wrap, pty.wrap, ptyn.wrap, ps.wrap, pin,
    el('div', { class: 'tv-checks' }, ...Object.values(boxes).map((b) => b.wrap)));
  const fields = () => {
    const f = {
      instance, pi: pi.input.value, ecc: ecc.input.value, pty: pty.input.value, ptyn: ptyn.input.value,
      fixed_ps: ps.input.value, pin_day: day.input.value, pin_hour: hour.input.value, pin_minute: minute.input.value,
    };
    for (const [name, b] of Object.entries(boxes)) f[name] = flag(b.input);
    return f;
  };
  await openDialog('RDS Settings', body, ['AF >>', 'Apply', 'Close'], {
    onButton: async (label) => {
      if (label === 'AF >>') {
        await afDialog(instance, await get('/api/rds', { instance }));
        return false;
      }
      if (label === 'Apply') {
        await send('/api/rds/settings', fields());
        return false;
      }
      return true;
    },
  });
}

// ---- PS texts and the rotation ----

async function stringSettings(instance) {
  let rds = await get('/api/rds', { instance });
  const list = listBox('Strings');
  const name = textInput('Name', '', 63);
  const text = textInput('String', '', 63);
  const draw = () => {
    list.replaceChildren(...rds.strings.map((s) => el('option', { value: String(s.index), text: s.name })));
  };
  list.addEventListener('change', () => {
    const s = rds.strings.find((x) => String(x.index) === list.value);
    if (s) { name.input.value = s.name; text.input.value = s.text; }
  });
  draw();
  const act = async (action) => {
    const fields = { instance, action, name: name.input.value, text: text.input.value };
    if (action !== 'add') {
      if (!list.value) { await messageBox('Choose a string first', 'Error'); return; }
      fields.index = list.value;
    }
    if (await send('/api/rds/strings', fields)) {
      rds = await get('/api/rds', { instance });
      draw();
    }
  };
  const body = el('div', { class: 'tv-form' }, list, name.wrap, text.wrap);
  await openDialog('String Settings', body, ['Add', 'Change', 'Delete', 'Close'], {
    onButton: async (label) => {
      if (label === 'Close') return true;
      await act({ Add: 'add', Change: 'set', Delete: 'delete' }[label]);
      return false;
    },
  });
}

function itemName(code, strings) {
  if (code === 0) return 'Now Playing';
  if (code === 1) return 'Date';
  if (code === 2) return 'Time';
  return strings.find((s) => s.index === code - 3)?.name ?? `Empty String (${code - 3})`;
}

export async function rdsRotation(ctx) {
  const instance = instanceOf(ctx);
  let rds = await get('/api/rds', { instance });
  const items = [...rds.items];
  const available = listBox('Available');
  const rotation = listBox('Rotation');
  const draw = () => {
    const codes = [0, 1, 2, ...rds.strings.map((s) => s.index + 3)];
    available.replaceChildren(...codes.map((c) => el('option', { value: String(c), text: itemName(c, rds.strings) })));
    rotation.replaceChildren(...items.map((c, i) => el('option', { value: String(i), text: itemName(c, rds.strings) })));
  };
  draw();
  const speed = (label, values, value) => select(label, values.map((v, i) => [v, ['Fast', 'Medium', 'Slow'][i]]), value);
  const scroll = speed('Scroll Rate', [4, 8, 16], rds.scroll_rate);
  const hold = speed('Hold Time', [32, 64, 128], rds.hold_time);
  if (![4, 8, 16].includes(rds.scroll_rate)) scroll.input.value = '8';
  if (![32, 64, 128].includes(rds.hold_time)) hold.input.value = '64';
  const strip = checkbox('Strip Underscores', rds.strip);
  const body = el('div', { class: 'tv-form' },
    el('div', { class: 'tv-row' }, available, rotation),
    el('div', { class: 'tv-row' },
      button('Add', async () => {
        if (!available.value) return;
        if (items.length >= 16) { await messageBox('The rotation holds at most 16 entries', 'Error'); return; }
        items.push(Number(available.value));
        draw();
      }),
      button('Delete', () => {
        const i = rotation.selectedIndex;
        if (i >= 0) { items.splice(i, 1); draw(); }
      }),
      button('Move Up', () => {
        const i = rotation.selectedIndex;
        if (i > 0) { [items[i - 1], items[i]] = [items[i], items[i - 1]]; draw(); rotation.selectedIndex = i - 1; }
      }),
      button('Strings >>', async () => {
        await stringSettings(instance);
        rds = await get('/api/rds', { instance });
        draw();
      })),
    scroll.wrap, hold.wrap, strip.wrap);
  await openDialog('Program Service Name Settings', body, ['OK', 'Cancel'], {
    onButton: async (label) => label !== 'OK' || send('/api/rds/rotation', {
      instance, items: items.join(','), scroll_rate: scroll.input.value, hold_time: hold.input.value, strip: flag(strip.input),
    }),
  });
}

// ---- Traffic announcement ----

export async function rdsTa(ctx) {
  const instance = instanceOf(ctx);
  const rds = await get('/api/rds', { instance });
  const port = textInput('Port', String(rds.ta.port), 5);
  const timeout = textInput('Time Out (ms)', String(rds.ta.timeout), 6);
  const auto = checkbox('Auto Start', rds.ta.autostart);
  const line = el('p', { class: 'tv-readout', role: 'status', 'aria-label': 'Traffic Announcement', text: rds.ta.line });
  const body = el('div', { class: 'tv-form' }, port.wrap, timeout.wrap, auto.wrap, line);
  const refresh = async () => {
    try {
      line.textContent = (await get('/api/rds/ta', { instance })).line;
    } catch { /* the next tick tries again */ }
  };
  const timer = setInterval(refresh, 250);
  try {
    await openDialog('RDS Traffic Announcement', body, ['Start', 'Stop', 'On', 'Off', 'Apply', 'Close'], {
      onButton: async (label) => {
        if (label === 'Close') return true;
        if (label === 'Apply') {
          if (Number(timeout.input.value) < 1000) timeout.input.value = '1000';
          await send('/api/rds/ta', {
            instance, action: 'apply', port: port.input.value, timeout: timeout.input.value, autostart: flag(auto.input),
          });
        } else {
          await command('/api/rds/ta', { instance, action: label.toLowerCase() });
        }
        await refresh();
        return false;
      },
    });
  } finally {
    clearInterval(timer);
  }
}

// ---- Now Playing ----

const SOURCES = [
  [0, 'File'], [1, 'UDP Port'], [2, 'Test'], [3, 'TCP Address'], [4, 'Player  Input'], [5, 'STL Input'],
];

export async function nowPlaying(ctx) {
  const instance = instanceOf(ctx);
  if (instance === null) { await messageBox('There is no instance', 'Error'); return; }
  const np = await get('/api/nowplaying', { instance });
  const radios = SOURCES.map(([value, label]) => {
    const input = el('input', { type: 'radio', name: 'tv-np-source', value: String(value), checked: np.mode === value });
    input.setAttribute('aria-label', label);
    return { value, input, wrap: el('label', { class: 'tv-check' }, input, label) };
  });
  const file = textInput('File', np.file, 4096);
  const browse = button('>>', async () => {
    const folder = file.input.value.includes('/') ? file.input.value.replace(/\/[^/]*$/, '') : '';
    const chosen = await openFileDialog({ title: 'Now Playing File', mode: 'open', folder, filter: 'All Files' });
    if (chosen) { file.input.value = chosen; update(); }
  });
  const udp = textInput('UDP Port', String(np.udp_port), 5);
  const tcp = textInput('TCP Address', String(np.tcp_port), 5);
  const sendTest = button('Send', async () => {
    await command('/api/nowplaying/send', { instance });
    await refresh();
  });
  const timeout = textInput('Time Out (ms)', String(np.poll_timeout), 6);
  const boxes = {
    send_to_rds: checkbox('Send to RDS', np.send_to_rds),
    send_to_streaming: checkbox('Send to Streaming', np.send_to_streaming),
    send_to_stl: checkbox('Send to STL', np.send_to_stl),
    auto_start: checkbox('Auto Start', np.auto_start),
  };
  const parsed = checkbox('Artist = ;Tille -', np.input_mode !== 0);
  const monitor = el('output', { class: 'tv-readout', 'aria-label': 'Input Monitor', text: np.monitor });
  const running = el('p', { class: 'tv-readout', role: 'status', 'aria-label': 'Source', text: '' });

  const mode = () => Number(radios.find((r) => r.input.checked)?.value ?? 0);
  const values = () => {
    const v = {
      mode: String(mode()), file: file.input.value, udp_port: udp.input.value, tcp_port: tcp.input.value,
      poll_timeout: timeout.input.value, input_mode: parsed.input.checked ? '1' : '0',
    };
    for (const [name, b] of Object.entries(boxes)) v[name] = flag(b.input);
    return v;
  };
  let stored = {};
  const remember = (model) => {
    stored = {
      mode: String(model.mode), file: model.file, udp_port: String(model.udp_port), tcp_port: String(model.tcp_port),
      poll_timeout: String(model.poll_timeout), input_mode: model.input_mode !== 0 ? '1' : '0',
      send_to_rds: model.send_to_rds ? '1' : '0', send_to_streaming: model.send_to_streaming ? '1' : '0',
      send_to_stl: model.send_to_stl ? '1' : '0', auto_start: model.auto_start ? '1' : '0',
    };
    running.textContent = model.running ? 'Running' : 'Stopped';
  };
  remember(np);
  let applyButton = null;
  function update() {
    const m = mode();
    file.input.disabled = browse.disabled = m !== 0;
    udp.input.disabled = m !== 1;
    sendTest.disabled = m !== 2;
    tcp.input.disabled = timeout.input.disabled = m !== 3;
    const now = values();
    if (applyButton) applyButton.disabled = Object.keys(stored).every((k) => stored[k] === now[k]);
  }
  const refresh = async () => {
    try {
      const model = await get('/api/nowplaying', { instance });
      monitor.textContent = model.monitor;
      running.textContent = model.running ? 'Running' : 'Stopped';
    } catch { /* the next tick tries again */ }
  };
  const body = el('div', { class: 'tv-form' },
    el('fieldset', {}, el('legend', { text: 'Source' }),
      radios[0].wrap, el('div', { class: 'tv-row' }, file.wrap, browse),
      radios[1].wrap, udp.wrap, radios[2].wrap, sendTest, radios[3].wrap, tcp.wrap, timeout.wrap,
      radios[4].wrap, radios[5].wrap),
    el('div', { class: 'tv-checks' }, ...Object.values(boxes).map((b) => b.wrap), parsed.wrap),
    labelled('Input Monitor', monitor), running);
  body.addEventListener('input', update);
  body.addEventListener('change', update);
  const timer = setInterval(refresh, 500);
  try {
    const open = openDialog('Now Playing Meta Data', body, ['Start', 'Stop', 'Apply', 'Close'], {
      onButton: async (label) => {
        if (label === 'Close') return true;
        if (label === 'Apply') {
          if (await send('/api/nowplaying/apply', { instance, ...values() })) remember(await get('/api/nowplaying', { instance }));
        } else {
          await command(`/api/nowplaying/${label.toLowerCase()}`, { instance });
        }
        await refresh();
        update();
        return false;
      },
    });
    // "Apply" is enabled only while the window's values differ from the stored ones.
    applyButton = [...(body.closest('dialog')?.querySelectorAll('.tv-dialog-buttons button') ?? [])]
      .find((b) => b.textContent === 'Apply') ?? null;
    update();
    await open;
  } finally {
    clearInterval(timer);
  }
}
