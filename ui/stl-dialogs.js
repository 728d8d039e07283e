// The studio-transmitter link's settings dialogs: "STL TX Settings" with its "PCM
// Settings" and "AAC Settings" sub-dialogs, and "STL RX Settings" (/api/stl_tx,
// /api/stl_rx). "Start", "Stop" and "Apply" keep the dialog open; "Apply" stops a
// running link, takes the values and starts it again. The password field starts
// empty: left empty, the stored password stays.
import { get, command } from './api.js';
import { openDialog } from './dialog.js';
import { field, input, check, radios } from './form.js';

function statusBlock(lines) {
  const pre = document.createElement('pre');
  pre.className = 'tv-readout';
  pre.textContent = (lines || []).join('\n');
  return pre;
}

async function pcmDialog(pcm) {
  const body = document.createElement('div');
  body.className = 'tv-form';
  const channels = radios('pcm-channels', [[1, 'Mono'], [2, 'Stereo']], pcm.channels);
  const rate = radios('pcm-rate', [[48000, '48kHz Saple Rate'], [192000, '192kHz Sample Rate']], pcm.rate);
  const mode = radios('pcm-mode', [[0, 'Mono Mode Sum'], [1, 'Mono Mode L'], [2, 'Mono Mode Right']], pcm.mono_mode);
  // 192 kHz carries one channel only.
  const follow = () => {
    const mpx = rate.value === '192000';
    if (mpx) channels.select(1);
    channels.buttons[1].disabled = mpx;
  };
  rate.set.addEventListener('change', follow);
  follow();
  body.append(channels.set, rate.set, mode.set);
  const answer = await openDialog('PCM Settings', body, ['OK', 'Cancel']);
  if (answer !== 'OK') return pcm;
  return { channels: Number(channels.value), rate: Number(rate.value), mono_mode: Number(mode.value) };
}

async function aacDialog(aac) {
  const body = document.createElement('div');
  body.className = 'tv-form';
  const rate = document.createElement('select');
  for (const k of [64, 96, 128, 192, 256]) {
    const o = document.createElement('option');
    o.value = String(k * 1000);
    o.textContent = `${k} kB/s`;
    rate.append(o);
  }
  rate.value = String(aac.bit_rate);
  const channels = radios('aac-channels', [[1, 'Mono'], [2, 'Stereo']], aac.channels);
  const vbr = check('VBR', aac.vbr);
  const sbr = check('SBR + PS', aac.sbr_ps);
  // Never both; neither from 128 kB/s up.
  const follow = (changed) => {
    if (changed === vbr.box && vbr.box.checked) sbr.box.checked = false;
    if (changed === sbr.box && sbr.box.checked) vbr.box.checked = false;
    const high = Number(rate.value) >= 128000;
    if (high) vbr.box.checked = sbr.box.checked = false;
    vbr.box.disabled = high || sbr.box.checked;
    sbr.box.disabled = high || vbr.box.checked;
  };
  rate.addEventListener('change', () => follow(rate));
  vbr.box.addEventListener('change', () => follow(vbr.box));
  sbr.box.addEventListener('change', () => follow(sbr.box));
  follow(null);
  body.append(field('Bit Rate', rate), channels.set, vbr.wrap, sbr.wrap);
  const answer = await openDialog('AAC Settings', body, ['OK', 'Cancel']);
  if (answer !== 'OK') return aac;
  return { bit_rate: Number(rate.value), channels: Number(channels.value), vbr: vbr.box.checked, sbr_ps: sbr.box.checked };
}

export async function stlTxSettings(state) {
  const instance = state.current;
  const info = await get('/api/stl_tx', { instance });
  const s = info.settings;
  let pcm = { channels: s.pcm_channels, rate: s.pcm_rate, mono_mode: s.pcm_mono_mode };
  let aac = { bit_rate: s.aac_bit_rate, channels: s.aac_channels, vbr: s.aac_vbr, sbr_ps: s.aac_sbr_ps };
  const url = input('text', s.url);
  const port = input('text', s.port);
  const password = input('password', '');
  const timeout = input('number', s.timeout);
  const sendTimeout = input('number', s.send_timeout);
  const ipv6 = check('Favour IPv6 over IPv4', s.ipv6);
  const now = check('Enable Now  Playing', s.enable_now);
  const enable = check('Enable', s.enable);
  const startup = check('Connect At Startup', s.connect_at_startup);
  const encoder = radios('stl-encoder', [[0, 'PCM  Encoding'], [1, 'AAC Encoding']], s.encoder);
  const settingsButton = (label, open) => {
    const b = document.createElement('button');
    b.type = 'button';
    b.textContent = 'Settings';
    b.setAttribute('aria-label', `${label} Settings`);
    b.addEventListener('click', open);
    return b;
  };
  encoder.set.children[0].append(' ', settingsButton('PCM', async () => { pcm = await pcmDialog(pcm); }));
  encoder.set.children[1].append(' ', settingsButton('AAC', async () => { aac = await aacDialog(aac); }));
  const status = statusBlock(info.status_lines);
  const body = document.createElement('div');
  body.className = 'tv-form';
  body.append(field('URL / IP Address', url), field('Port', port), field('Password', password),
    field('Receive Time Out (Min 1000ms)', timeout), field('Send Time Out (Min 2ms)', sendTimeout),
    ipv6.wrap, now.wrap, enable.wrap, startup.wrap, encoder.set, status);
  const refresh = async () => {
    status.textContent = ((await get('/api/stl_tx', { instance })).status_lines || []).join('\n');
  };
  await openDialog('STL TX Settings', body, ['Start', 'Stop', 'Apply', 'Close'], {
    onButton: async (label) => {
      if (label === 'Close') return true;
      if (label === 'Apply') {
        const params = {
          instance, url: url.value, port: port.value, timeout: timeout.value, send_timeout: sendTimeout.value,
          ipv6: ipv6.box.checked ? 1 : 0, enable_now: now.box.checked ? 1 : 0, enable: enable.box.checked ? 1 : 0,
          connect_at_startup: startup.box.checked ? 1 : 0, encoder: encoder.value,
          pcm_channels: pcm.channels, pcm_rate: pcm.rate, pcm_mono_mode: pcm.mono_mode,
          aac_bit_rate: aac.bit_rate, aac_channels: aac.channels, aac_vbr: aac.vbr ? 1 : 0, aac_sbr_ps: aac.sbr_ps ? 1 : 0,
        };
        if (password.value) params.password = password.value;
        const answer = await command('/api/stl_tx/settings', params);
        if (answer.ok) password.value = '';
      } else {
        await command(label === 'Start' ? '/api/stl_tx/start' : '/api/stl_tx/stop', { instance });
      }
      await refresh();
      return false;
    },
  });
}

export async function stlRxSettings(state) {
  const instance = state.current;
  const info = await get('/api/stl_rx', { instance });
  const s = info.settings;
  const port = input('text', s.port);
  const password = input('password', '');
  const timeout = input('number', s.timeout);
  const sendTimeout = input('number', s.send_timeout);
  const buffer = radios('stl-buffer', [[100, '100ms Buffer'], [200, '200ms Buffer'], [500, '500ms Buffer'],
    [1000, '1s Buuffer']], s.buffer_time);
  const enable = check('Enable', s.enable);
  const startup = check('Listen At Startup', s.listen_at_startup);
  const status = statusBlock(info.status_lines);
  const body = document.createElement('div');
  body.className = 'tv-form';
  body.append(field('Port', port), field('Password', password), field('Receive Time Out (Min 1000ms)', timeout),
    field('Send Timev Out (Min 2ms)', sendTimeout), buffer.set, enable.wrap, startup.wrap, status);
  const refresh = async () => {
    status.textContent = ((await get('/api/stl_rx', { instance })).status_lines || []).join('\n');
  };
  await openDialog('STL RX Settings', body, ['Start', 'Stop', 'Apply', 'Close'], {
    onButton: async (label) => {
      if (label === 'Close') return true;
      if (label === 'Apply') {
        const params = {
          instance, port: port.value, timeout: timeout.value, send_timeout: sendTimeout.value,
          buffer_time: buffer.value, enable: enable.box.checked ? 1 : 0, listen_at_startup: startup.box.checked ? 1 : 0,
        };
        if (password.value) params.password = password.value;
        const answer = await command('/api/stl_rx/settings', params);
        if (answer.ok) password.value = '';
      } else {
        await command(label === 'Start' ? '/api/stl_rx/start' : '/api/stl_rx/stop', { instance });
      }
      await refresh();
      return false;
    },
  });
}
