// Talking to the torvalen process: commands (POST, form-encoded), reads (GET),
// and the event stream. Every command result goes through `command`, which
// shows refusals and asks for confirmation the way the program's message boxes do.
import { messageBox, askYesNo } from './dialog.js';

// The session's anti-forgery token: handed out with the logon, kept by this origin
// only, and sent with every request. The session cookie alone authorises nothing.
const tokenKey = 'torvalen_token';
function tokenHeaders() {
  const token = localStorage.getItem(tokenKey);
  return token ? { 'X-Torvalen-Token': token } : {};
}
// A new token (a logon): the state read while the answer was on its way went out
// with the old one, so the page reads it again ('tv-session').
function keepToken(answer) {
  if (answer && typeof answer.token === 'string') {
    localStorage.setItem(tokenKey, answer.token);
    document.dispatchEvent(new CustomEvent('tv-session'));
  }
  return answer;
}

export async function get(path, params = {}) {
  const query = new URLSearchParams(params).toString();
  const response = await fetch(query ? `${path}?${query}` : path, { cache: 'no-store', headers: tokenHeaders() });
  const body = await response.json().catch(() => ({ ok: false, message: `HTTP ${response.status}`, title: 'Error' }));
  if (!response.ok) throw Object.assign(new Error(body.message || `HTTP ${response.status}`), { body });
  return body;
}

// Sends a command. Refusals with a message are shown in a message box; a command
// that needs the user's Yes asks first and is sent again with confirmed=1.
// Resolves to the answer (check `.ok`).
export async function command(path, params = {}, { quiet = false } = {}) {
  const send = async (fields) => {
    const response = await fetch(path, {
      method: 'POST',
      headers: { 'Content-Type': 'application/x-www-form-urlencoded', ...tokenHeaders() },
      body: new URLSearchParams(fields).toString(),
    });
    const answer = await response.json().catch(() => ({ ok: false, message: `HTTP ${response.status}`, title: 'Error' }));
    return keepToken(answer);
  };
  let answer = await send(params);
  if (!answer.ok && answer.confirm) {
    if (!(await askYesNo(answer.message, answer.title))) return answer;
    answer = await send({ ...params, confirmed: '1' });
  }
  if (!answer.ok && answer.message && !quiet) await messageBox(answer.message, answer.title || 'Error');
  return answer;
}

// One event stream for the page; listeners by event name ('state', 'meters',
// 'analyser', 'message'). The browser reconnects by itself after a drop.
const listeners = new Map();
let source = null;
export function onEvent(name, handler) {
  if (!listeners.has(name)) {
    listeners.set(name, new Set());
    if (source) attach(name);
  }
  listeners.get(name).add(handler);
  if (!source) openEvents();
  return () => listeners.get(name).delete(handler);
}
// The page this browser views (its meters come on the stream); null follows the
// program's stored page.
let eventPage = null;
function openEvents() {
  source = new EventSource(eventPage === null ? '/api/events' : `/api/events?page=${eventPage}`);
  for (const n of listeners.keys()) attach(n);
  // While the stream is down the page says so (meters grey out instead of
  // freezing on their last values); the browser reconnects by itself.
  source.addEventListener('error', () => connection(false));
  source.addEventListener('open', () => connection(true));
}
// Each browser views a page of its own: the stream is opened again for it.
export function setEventPage(page) {
  if (page === eventPage) return;
  eventPage = page;
  if (source) {
    source.close();
    openEvents();
  }
}
function connection(up) {
  document.body.classList.toggle('tv-connection-lost', !up);
  let banner = document.getElementById('tv-connection-banner');
  if (!up && !banner) {
    banner = document.createElement('div');
    banner.id = 'tv-connection-banner';
    banner.setAttribute('role', 'alert');
    banner.textContent = 'Connection lost: the values shown are not live. Reconnecting…';
    document.body.append(banner);
  } else if (up && banner) {
    banner.remove();
  }
}

// Ends the event stream for good (the program has stopped).
export function closeEvents() {
  source?.close();
  source = null;
  listeners.clear();
}

function attach(name) {
  source.addEventListener(name, (e) => {
    let data;
    try { data = JSON.parse(e.data); } catch { return; }
    for (const h of listeners.get(name) || []) h(data);
  });
}
