// The Stream TX windows: "Streaming settings" (station values, time-outs, Start,
// Stop), opened from the module menu; its ">>" opens "Streams Settup" (the two
// encoder slots, their settings and stream lists), whose "Setup" opens "Stream
// Connection Settings". Everything goes through /api/stream (app/http/API.md).
import { get, command } from './api.js';
import { openDialog, askText } from './dialog.js';
import { field, input, select, button } from './form.js';

const kB = (list) => list.map((v) => [v, `${v / 1000} kB/s`]);
const hz = (list) => list.map((v) => [v, String(v)]);
const CHANNELS = [[1, 'Mono'], [2, 'Stereo']];
const LISTS = {
  vorbis: { bitrates: [32000, 48000, 56000, 64000, 72000, 128000, 192000, 256000], rates: [32000, 44100, 48000] },
  opus: { bitrates: [32000, 48000, 64000, 96000, 128000, 192000], rates: [44100, 48000] },
  mp3: {
    bitrates: [8000, 16000, 18000, 20000, 24000, 32000, 40000, 48000, 56000, 64000, 80000, 96000, 112000, 128000,
      160000, 192000, 224000, 256000, 320000],
    rates: [8000, 11025, 12000, 16000, 22050, 24000, 32000, 44100, 48000],
  },
  aac: { bitrates: [32000, 48000, 64000, 96000, 128000], rates: [44100, 48000] },
};
const TYPES = [[1, 'Ogg/Vorbis', 'vorbis'], [2, 'Opus', 'opus'], [3, 'MP3', 'mp3'], [4, 'AAC', 'aac']];

export async function streamingSettings(state) {
  const instance = state.current;
  const info = await get('/api/stream', { instance });
  const st = info.station;
  const f = {
    name: input('text', st.name), genre: input('text', st.genre), web_page: input('text', st.web_page),
    timeout: input('number', st.timeout), short_timeout: input('number', st.short_timeout),
    auto_start: input('checkbox', st.auto_start), make_public: input('checkbox', st.make_public),
    now_playing: input('checkbox', st.now_playing),
  };
  const status = document.createElement('ul');
  status.className = 'tv-status-list';
  const showStatus = (lines) => status.replaceChildren(...lines.map((l) => {
    const li = document.createElement('li');
    li.textContent = l;
    return li;
  }));
  showStatus(info.status_lines);
  const refresh = async () => showStatus((await get('/api/stream', { instance })).status_lines);
  const body = document.createElement('div');
  body.className = 'tv-form';
  body.append(
    field('Stream/Station  Name', f.name), field('Genre', f.genre), field('Station Web Page URL', f.web_page),
    field('Time Out (ms)', f.timeout), field('Streaming time Out (ms)', f.short_timeout),
    field('Connect At Startup', f.auto_start), field('Make Server(s) Public', f.make_public),
    field('Enable Now Playing', f.now_playing),
    button('Start', async () => { await command('/api/stream/start', { instance }); refresh(); }),
    button('Stop', async () => { await command('/api/stream/stop', { instance }); refresh(); }),
    button('>>', async () => { await streamsSetup(instance); refresh(); }),
    status);
  await openDialog('Streaming settings', body, ['Apply', 'Close'], {
    onButton: async (label) => {
      if (label !== 'Apply') return true;
      const params = { instance };
      for (const [k, c] of Object.entries(f)) params[k] = c.type === 'checkbox' ? (c.checked ? '1' : '0') : c.value;
      await command('/api/stream/station', params);
      await refresh();
      return false;  // stays open, as the window does after Apply
    },
  });
}

async function streamsSetup(instance) {
  const body = document.createElement('div');
  body.className = 'tv-form';
  const draw = async () => {
    const info = await get('/api/stream', { instance });
    body.replaceChildren();
    info.slots.forEach((slot, index) => {
      const box = document.createElement('fieldset');
      const legend = document.createElement('legend');
      legend.textContent = `Encoder ${index + 1} ${slot.enabled ? 'Enabled' : 'Not Enabled'} ... ${slot.description}`;
      box.append(legend);
      const type = select(TYPES.map(([v, t]) => [v, t]), slot.type);
      const enabled = input('checkbox', slot.enabled);
      const apply = (extra) => command('/api/stream/encoder', {
        instance, slot: index, type: type.value, enabled: enabled.checked ? '1' : '0', ...extra }).then(draw);
      type.addEventListener('change', () => apply({}));
      enabled.addEventListener('change', () => apply({}));
      box.append(field('Encoder', type), field('Enable Encoder', enabled),
        button('Settings', () => encoderSettings(instance, index, slot).then(draw)));
      const list = select(slot.streams.map((s, i) => [i, s.name]), 0);
      list.size = 8;
      const chosen = () => Number(list.value);
      const newButton = button('New', async () => {
        const name = await askText('New Stream', 'Name');
        if (name) await command('/api/stream/new', { instance, slot: index, name });
        draw();
      });
      newButton.disabled = slot.streams.length >= 8;
      box.append(list, newButton,
        button('Setup', () => slot.streams.length && connectionSettings(instance, index, chosen(), slot.streams[chosen()]).then(draw)),
        button('Rename', async () => {
          if (!slot.streams.length) return;
          const name = await askText('Rename Stream', 'Name', slot.streams[chosen()].name);
          if (name) await command('/api/stream/rename', { instance, slot: index, index: chosen(), name });
          draw();
        }),
        button('Delete', async () => {
          if (slot.streams.length) await command('/api/stream/delete', { instance, slot: index, index: chosen() });
          draw();
        }));
      body.append(box);
    });
  };
  await draw();
  await openDialog('Streams Settup', body, ['Close']);
}

async function encoderSettings(instance, slot, info) {
  const key = TYPES.find(([v]) => v === info.type)[2];
  const s = info[key];
  const body = document.createElement('div');
  body.className = 'tv-form';
  const bitrate = select(kB(LISTS[key].bitrates), s.bitrate);
  const rate = select(hz(LISTS[key].rates), s.rate);
  const channels = select(CHANNELS, s.channels === 1 ? 1 : 2);
  body.append(field('Bit Rate', bitrate), field('Sample Rate', rate), field('Channels', channels));
  const extra = {};
  if (key === 'vorbis') {
    extra.vorbis_min_bitrate = select(kB(LISTS.vorbis.bitrates), s.min_bitrate);
    extra.vorbis_max_bitrate = select(kB(LISTS.vorbis.bitrates), s.max_bitrate);
    extra.vorbis_vbr = input('checkbox', s.min_bitrate !== s.bitrate || s.max_bitrate !== s.bitrate);
    body.append(field('Min Bit Rate', extra.vorbis_min_bitrate), field('Max Bit Rate', extra.vorbis_max_bitrate),
      field('VBR', extra.vorbis_vbr));
  } else if (key === 'opus') {
    extra.opus_vbr = input('checkbox', s.vbr);
    body.append(field('VBR', extra.opus_vbr));
  } else if (key === 'aac') {
    extra.aac_sbr_ps = input('checkbox', s.sbr_ps);
    extra.aac_vbr = input('checkbox', s.vbr);
    body.append(field('Enable SBR & PS (not available: sent as AAC-LC)', extra.aac_sbr_ps), field('Enable VBR', extra.aac_vbr));
  } else if (key === 'mp3') {
    const line = document.createElement('p');
    line.className = 'tv-readout';
    const probe = async () => {
      const p = await get('/api/stream/mp3probe', { bitrate: bitrate.value, rate: rate.value, channels: channels.value });
      line.textContent = p.text;
      line.dataset.valid = p.valid ? '1' : '0';
    };
    for (const c of [bitrate, rate, channels]) c.addEventListener('change', probe);
    body.append(line);
    await probe();
  }
  const titles = { vorbis: 'Ogg/Vorbis Encoder Settings', opus: 'Opus Encoder Settings', mp3: 'MP3 Encoder Settings',
    aac: 'AAC Encoder Settings' };
  await openDialog(titles[key], body, ['OK', 'Cancel'], {
    onButton: async (label) => {
      if (label !== 'OK') return true;
      const params = { instance, slot, [`${key}_bitrate`]: bitrate.value, [`${key}_rate`]: rate.value,
        [`${key}_channels`]: channels.value };
      for (const [k, c] of Object.entries(extra)) params[k] = c.type === 'checkbox' ? (c.checked ? '1' : '0') : c.value;
      return (await command('/api/stream/encoder', params)).ok;
    },
  });
}

async function connectionSettings(instance, slot, index, s) {
  const f = {
    url: input('text', s.url), port: input('text', s.port), user: input('text', s.user),
    password: input('password', ''), path: input('text', s.path),
    admin_user: input('text', s.admin_user), admin_password: input('password', ''), id: input('number', s.id),
    enabled: input('checkbox', s.enabled),
  };
  f.password.placeholder = '(unchanged)';
  f.admin_password.placeholder = '(unchanged)';
  const body = document.createElement('div');
  body.className = 'tv-form';
  body.append(field('URL', f.url), field('Port', f.port), field('Source User', f.user),
    field('Source Password', f.password), field('Path', f.path), field('Admin User', f.admin_user),
    field('Admin Pass', f.admin_password), field('Stream ID Number', f.id), field('Enable', f.enabled));
  const radios = (name, choices) => {
    const set = document.createElement('fieldset');
    set.className = 'tv-radios';
    for (const [value, text] of choices) {
      const label = document.createElement('label');
      const r = document.createElement('input');
      r.type = 'radio';
      r.name = name;
      r.value = value;
      r.checked = value === choices[0][0];
      r.addEventListener('change', async () => {
        if (value === choices[0][0]) return;
        // The server answers with the refusal's message box.
        await command('/api/stream/setup', { instance, slot, index, [name]: value });
        set.querySelector(`input[value="${choices[0][0]}"]`).checked = true;
      });
      label.append(r, ` ${text}`);
      set.append(label);
    }
    return set;
  };
  body.append(radios('server_type', [['icecast', 'Icecase Server'], ['shoutcast', 'Shoutcast Server']]),
    radios('ip', [['4', 'IPv4'], ['6', 'IPv6']]));
  await openDialog('Stream Connection Settings', body, ['Apply', 'Cancel'], {
    onButton: async (label) => {
      if (label !== 'Apply') return true;
      const params = { instance, slot, index };
      for (const [k, c] of Object.entries(f)) {
        if (c.type === 'password' && c.value === '') continue;
        params[k] = c.type === 'checkbox' ? (c.checked ? '1' : '0') : c.value;
      }
      return (await command('/api/stream/setup', params)).ok;
    },
  });
}
