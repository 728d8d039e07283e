// The sound-card dialogs of the "Sound" menu: the device settings of an instance
// ("ASIO Multi Settings") or of the shared device ("ASIO Single Settngs"), an
// instance's channel pair on the shared device ("ASIO Single Channels"), and the
// choice between them ("Interface").
import { get, command } from './api.js';
import { openDialog, messageBox, askYesNo } from './dialog.js';
import { field, select, readOut } from './form.js';

const NOT_ATTACHED = 'You have selected a device that seems not to be attached';
const CURRENT_MISSING =
  'Current Device appears not be attached.\r\nIt may restart automatically when attached.\r\nDo you want to delete it?';

function channelOptions(count) {
  const n = Math.max(count || 0, 2);
  return Array.from({ length: n }, (_, i) => [i + 1, String(i + 1)]);
}

// Asks about a configured device that is not attached; Yes deletes it.
async function offerDelete(info, scope, instance) {
  if (!info.configured || info.attached) return false;
  if (!(await askYesNo(CURRENT_MISSING, 'Warning'))) return false;
  await command('/api/sound/device', { instance, scope, device: '' });
  return true;
}

async function deviceDialog(state, scope) {
  const instance = state.current;
  const info = await get('/api/sound', { instance });
  if (await offerDelete(info, scope, instance)) return;
  const current = scope === 'shared' ? info.shared_device : info.instance_device;
  const title = scope === 'shared' ? 'ASIO Single Settngs' : 'ASIO Multi Settings';

  const devices = [['', '(none: virtual device)'], ...info.devices.map((d) => [d.name, `${d.name} (${d.host})`])];
  if (current.device && !info.devices.some((d) => d.name === current.device))
    devices.push([current.device, `${current.device} (not attached)`]);
  const device = select(devices, current.device || '');
  const rate = select([[48000, '48000'], [192000, '192000']], current.rate || 48000);
  const frames = document.createElement('input');
  frames.type = 'number';
  frames.min = '16';
  frames.max = '8192';
  frames.step = '1';
  frames.value = String(current.frames || 256);

  const body = document.createElement('div');
  body.className = 'tv-form';
  body.append(field('Device', device), field('Sample Rate', rate), field('Frame Size', frames));

  const channels = {};
  const channelBox = document.createElement('div');
  channelBox.className = 'tv-form-row';
  const fillChannels = (inputs, outputs) => {
    channelBox.replaceChildren();
    for (const [key, label, count] of [
      ['l_in', 'Input Left', inputs], ['r_in', 'Input Right', inputs],
      ['l_out', 'Output Left', outputs], ['r_out', 'Output Right', outputs]]) {
      const previous = channels[key]?.value ?? current[key] ?? (key.startsWith('l') ? 1 : 2);
      channels[key] = select(channelOptions(count), previous || 1);
      channelBox.append(field(label, channels[key]));
    }
  };
  if (scope === 'instance') {
    const d = info.devices.find((x) => x.name === current.device);
    fillChannels(d?.inputs ?? info.inputs, d?.outputs ?? info.outputs);
    body.append(channelBox);
  }
  for (const text of [info.latency_text, info.buffer_text, info.status]) if (text) body.append(readOut(text));

  device.addEventListener('change', async () => {
    if (!device.value) return;
    const probe = await get('/api/sound/probe', { device: device.value });
    if (!probe.ok) {
      await messageBox(probe.message || NOT_ATTACHED, probe.title || 'Warning');
      return;
    }
    if (scope === 'instance') fillChannels(probe.inputs, probe.outputs);
  });

  await openDialog(title, body, ['OK', 'Cancel'], {
    onButton: async (label) => {
      if (label !== 'OK') return true;
      const params = { instance, scope, device: device.value, rate: rate.value, frames: frames.value };
      if (scope === 'instance') for (const [k, s] of Object.entries(channels)) params[k] = s.value;
      const answer = await command('/api/sound/device', params);
      return answer.ok;
    },
  });
}

export const soundMultiSettings = (state) => deviceDialog(state, 'instance');
export const soundSingleSettings = (state) => deviceDialog(state, 'shared');

export async function soundSingleChannels(state) {
  const instance = state.current;
  const info = await get('/api/sound', { instance });
  const shared = info.devices.find((d) => d.name === info.shared_device.device);
  const inputs = shared?.inputs ?? info.inputs;
  const outputs = shared?.outputs ?? info.outputs;
  const body = document.createElement('div');
  body.className = 'tv-form-row';
  const fields = {};
  for (const [key, label, count] of [
    ['l_in', 'Input Left', inputs], ['r_in', 'Input Right', inputs],
    ['l_out', 'Output Left', outputs], ['r_out', 'Output Right', outputs]]) {
    fields[key] = select(channelOptions(count), info.channels[key]);
    body.append(field(label, fields[key]));
  }
  await openDialog('ASIO Single Channels', body, ['OK', 'Cancel'], {
    onButton: async (label) => {
      if (label !== 'OK') return true;
      const params = { instance };
      for (const [k, s] of Object.entries(fields)) params[k] = s.value;
      return (await command('/api/sound/channels', params)).ok;
    },
  });
}

export async function soundInterface(state) {
  const info = await get('/api/sound', { instance: state.current });
  const body = document.createElement('fieldset');
  body.className = 'tv-radios';
  const choices = [['0', 'ASIO Single'], ['1', 'ASIO Multi'], ['2', 'Platform Audio']];
  for (const [value, text] of choices) {
    const label = document.createElement('label');
    const radio = document.createElement('input');
    radio.type = 'radio';
    radio.name = 'interface';
    radio.value = value;
    radio.checked = Number(value) === info.interface;
    radio.disabled = value === '2';  // not offered on this platform
    label.append(radio, ` ${text}`);
    body.append(label);
  }
  await openDialog('Interface', body, ['OK', 'Cancel'], {
    onButton: async (label) => {
      if (label !== 'OK') return true;
      const chosen = body.querySelector('input:checked')?.value ?? String(info.interface);
      if (Number(chosen) === info.interface) return true;
      return (await command('/api/sound/interface', { instance: state.current, mode: chosen })).ok;
    },
  });
}
