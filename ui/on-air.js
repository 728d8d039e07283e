// The on-air strip below the page tabs, always visible: the current instance's
// processor, its preset or day-part (and whether it was changed since), the sound
// device with its rate and state, the server's clock and time zone, and alarms
// (input silent, engine stopped, sound card lost). Read once a second.
import { get } from './api.js';

const strip = document.getElementById('on-air');

function part(label, text, className = '') {
  const span = document.createElement('span');
  span.className = `tv-on-air-part ${className}`.trim();
  const name = document.createElement('span');
  name.className = 'tv-on-air-label';
  name.textContent = `${label} `;
  span.append(name, text);
  return span;
}

async function update() {
  if (!strip) return;
  let s;
  try {
    s = await get('/api/onair');
  } catch {
    strip.replaceChildren();  // no instance, or the program is away
    return;
  }
  const preset = s.dayparting && s.daypart ? `${s.daypart} (day-part)` : (s.preset || '(none)') + (s.modified ? ' *' : '');
  const parts = [
    part('Processor', s.processor || '—'),
    part('Preset', preset),
    part('Device', `${s.device}, ${s.rate ? `${s.rate / 1000} kHz` : '—'}, ${s.device_state}`),
    part('Clock', `${s.clock} ${s.time_zone}`),
  ];
  for (const alarm of s.alarms || []) parts.push(part('Alarm', alarm, 'tv-on-air-alarm'));
  strip.replaceChildren(...parts);
}

update();
setInterval(update, 1000);
