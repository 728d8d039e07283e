// Starts a real torvalen for the browser tests and drives Debian's Chromium
// against it: a free loopback port, a temporary settings home, a generated test
// WAV on the virtual device, SIGTERM to stop (and SIGKILL for anything left over
// when a test fails), screenshots into the build's artifact folder.
import { spawn } from 'node:child_process';
import fs from 'node:fs';
import http from 'node:http';
import net from 'node:net';
import os from 'node:os';
import path from 'node:path';
import { fileURLToPath } from 'node:url';
import { chromium } from 'playwright-core';

const here = path.dirname(fileURLToPath(import.meta.url));
export const sourceRoot = path.resolve(here, '..', '..');
export const torvalenBin = process.env.TORVALEN_BIN || path.join(sourceRoot, 'build', 'torvalen');
export const chromiumBin = process.env.TORVALEN_CHROMIUM || '/usr/bin/chromium';
export const artifactsDir = process.env.TORVALEN_ARTIFACTS || path.join(sourceRoot, 'build', 'ui-artifacts');

const chromiumArgs = [
  '--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
  '--disable-background-networking', '--disable-component-update', '--disable-sync',
];

// ---- clean-up of everything a test file started, even when it fails ----
const running = new Set();   // child processes
const tempDirs = new Set();
process.on('exit', () => {
  for (const child of running) {
    try { child.kill('SIGKILL'); } catch { /* already gone */ }
  }
  for (const dir of tempDirs) fs.rmSync(dir, { recursive: true, force: true });
});
for (const signal of ['SIGINT', 'SIGTERM']) {
  process.on(signal, () => process.exit(130));
}

export function tempDir(prefix) {
  // As the server sees it (links followed): its file dialog shows real paths.
  const dir = fs.realpathSync(fs.mkdtempSync(path.join(os.tmpdir(), `torvalen-ui-${prefix}-`)));
  tempDirs.add(dir);
  return dir;
}

export function freePort() {
  return new Promise((resolve, reject) => {
    const server = net.createServer();
    server.unref();
    server.on('error', reject);
    server.listen(0, '127.0.0.1', () => {
      const { port } = server.address();
      server.close(() => resolve(port));
    });
  });
}

export const sleep = (ms) => new Promise((r) => setTimeout(r, ms));

// Polls `probe` until it returns a truthy value; throws with `what` after `timeout` ms.
export async function waitFor(probe, what, { timeout = 10000, interval = 50 } = {}) {
  const end = Date.now() + timeout;
  let last;
  for (;;) {
    try {
      const value = await probe();
      if (value) return value;
    } catch (e) {
      last = e;
    }
    if (Date.now() > end) throw new Error(`timed out waiting for ${what}${last ? `: ${last.message}` : ''}`);
    await sleep(interval);
  }
}

// A 48 kHz stereo 16-bit WAV: a 1 kHz tone (left) and 400 Hz (right) whose level
// steps every half second through -40, -30, -20, -12, -6 dBFS and back, so the
// meters have something to move with.
export function writeToneWav(file, seconds = 5) {
  const rate = 48000;
  const frames = rate * seconds;
  const steps = [-40, -30, -20, -12, -6, -12, -20, -30];
  const data = Buffer.alloc(frames * 4);
  for (let i = 0; i < frames; ++i) {
    const step = steps[Math.floor(i / (rate / 2)) % steps.length];
    const gain = 10 ** (step / 20);
    const left = gain * Math.sin((2 * Math.PI * 1000 * i) / rate);
    const right = gain * Math.sin((2 * Math.PI * 400 * i) / rate);
    data.writeInt16LE(Math.round(left * 32767), i * 4);
    data.writeInt16LE(Math.round(right * 32767), i * 4 + 2);
  }
  const header = Buffer.alloc(44);
  header.write('RIFF', 0, 'ascii');
  header.writeUInt32LE(36 + data.length, 4);
  header.write('WAVE', 8, 'ascii');
  header.write('fmt ', 12, 'ascii');
  header.writeUInt32LE(16, 16);        // fmt chunk size
  header.writeUInt16LE(1, 20);         // PCM
  header.writeUInt16LE(2, 22);         // channels
  header.writeUInt32LE(rate, 24);
  header.writeUInt32LE(rate * 4, 28);  // bytes per second
  header.writeUInt16LE(4, 32);         // block align
  header.writeUInt16LE(16, 34);        // bits per sample
  header.write('data', 36, 'ascii');
  header.writeUInt32LE(data.length, 40);
  fs.writeFileSync(file, Buffer.concat([header, data]));
  return file;
}

// One torvalen process. `start` may be called again after `stop`: the restart
// keeps the same settings home (and the same port).
export class Torvalen {
  constructor({ home, input = null, name = 'torvalen' } = {}) {
    this.home = home || tempDir('home');
    this.userHome = tempDir('user');
    this.input = input;
    this.name = name;
    this.port = 0;
    this.child = null;
    this.starts = 0;
  }

  get url() { return `http://127.0.0.1:${this.port}`; }

  async start() {
    if (!this.port) this.port = await freePort();
    fs.mkdirSync(artifactsDir, { recursive: true });
    const logFile = path.join(artifactsDir, `${this.name}-${++this.starts}.log`);
    const log = fs.openSync(logFile, 'w');
    const args = ['--home', this.home, '--listen', `127.0.0.1:${this.port}`];
    if (this.input) args.push('--input', this.input);
    // A home of its own: the file dialog starts there and the autostart entry
    // (Run At Startup) lands there, never in the real user's folders.
    const env = { ...process.env, HOME: this.userHome, XDG_CONFIG_HOME: path.join(this.userHome, '.config') };
    const child = spawn(torvalenBin, args, { stdio: ['ignore', log, log], env });
    fs.closeSync(log);
    this.child = child;
    running.add(child);
    let exited = null;
    child.on('exit', (code, signal) => {
      exited = { code, signal };
      running.delete(child);
    });
    child.on('error', (e) => { exited = { error: e }; });
    this.exited = new Promise((resolve) => {
      if (exited) resolve(exited);
      child.on('exit', (code, signal) => resolve({ code, signal }));
      child.on('error', (e) => resolve({ error: e }));
    });
    try {
      await waitFor(async () => {
        if (exited) return true;  // reported below
        const response = await fetch(`${this.url}/api/state`);
        return response.ok && (await response.json()).instances !== undefined;
      }, `torvalen on ${this.url} (log ${logFile})`, { timeout: 20000, interval: 100 });
    } catch (e) {
      await this.kill();
      throw e;
    }
    if (exited) {
      this.child = null;
      throw new Error(`torvalen exited during its start (${JSON.stringify(exited)}); log:\n` +
        fs.readFileSync(logFile, 'utf8').slice(-2000));
    }
    return this;
  }

  // SIGTERM, then waits for the exit (every setting is saved on the way out).
  async stop({ timeout = 15000 } = {}) {
    const child = this.child;
    if (!child || !running.has(child)) return null;
    child.kill('SIGTERM');
    const result = await Promise.race([this.exited, sleep(timeout).then(() => null)]);
    if (!result) {
      await this.kill();
      throw new Error(`torvalen did not exit within ${timeout} ms of SIGTERM`);
    }
    this.child = null;
    return result;
  }

  async kill() {
    const child = this.child;
    if (child && running.has(child)) {
      child.kill('SIGKILL');
      await this.exited;
    }
    this.child = null;
  }

  // ---- the HTTP API from node (a client without the browser's session) ----
  // Plain node:http, so headers a browser would not let a page set (Origin,
  // Cookie) go out exactly as given.
  get(apiPath, params = {}) {
    const query = new URLSearchParams(params).toString();
    return this.request('GET', `${apiPath}${query ? `?${query}` : ''}`, null, {});
  }

  post(apiPath, fields = {}, headers = {}) {
    const body = new URLSearchParams(fields).toString();
    return this.request('POST', apiPath, body, { 'Content-Type': 'application/x-www-form-urlencoded', ...headers });
  }

  request(method, target, body, headers) {
    return new Promise((resolve, reject) => {
      const req = http.request({ host: '127.0.0.1', port: this.port, method, path: target, headers, timeout: 10000 }, (res) => {
        const chunks = [];
        res.on('data', (c) => chunks.push(c));
        res.on('end', () => {
          let parsed = null;
          try { parsed = JSON.parse(Buffer.concat(chunks).toString('utf8')); } catch { /* not JSON */ }
          resolve({ status: res.statusCode, body: parsed, headers: res.headers });
        });
      });
      req.on('timeout', () => req.destroy(new Error(`${method} ${target}: no answer in 10 s`)));
      req.on('error', reject);
      if (body !== null) req.write(body);
      req.end();
    });
  }

  state() { return this.get('/api/state').then((r) => r.body); }
}

// A fresh browser: Playwright's launch gives every run a new, empty profile
// directory of its own and removes it afterwards. Returns a browser context;
// closing it closes the browser.
export async function launchBrowser() {
  const browser = await chromium.launch({
    executablePath: chromiumBin,
    // Headless through our own argument list, so the browser runs with exactly it.
    headless: false,
    args: chromiumArgs,
  });
  const context = await browser.newContext({ viewport: { width: 1400, height: 900 } });
  context.setDefaultTimeout(10000);
  const closeContext = context.close.bind(context);
  context.close = async () => {
    await closeContext().catch(() => {});
    await browser.close();
  };
  return context;
}

// Opens the main window and waits until it has drawn its tab strips.
export async function openMain(context, server) {
  const page = context.pages()[0] || (await context.newPage());
  const problems = [];
  page.on('pageerror', (e) => problems.push(`page error: ${e.message}`));
  page.on('console', (m) => {
    // Failed requests are reported below with their address.
    if (m.type() === 'error' && !/^Failed to load resource/.test(m.text())) problems.push(`console: ${m.text()}`);
  });
  // A malformed request (400) or a server fault (5xx) is a defect; a 404 can
  // be a read of an instance that was just closed or renamed, so it is only noted.
  page.httpNotes = [];
  page.on('response', (r) => {
    const line = `HTTP ${r.status()} ${r.request().method()} ${r.url()}`;
    if (r.status() === 400 || r.status() >= 500) problems.push(line);
    else if (r.status() >= 400) page.httpNotes.push(line);
  });
  page.problems = problems;
  // TORVALEN_UI_TRACE=1 prints every command the page sends and its answer.
  if (process.env.TORVALEN_UI_TRACE) {
    page.on('response', async (r) => {
      if (r.request().method() !== 'POST') return;
      const answer = await r.text().catch(() => '');
      console.log(`POST ${new URL(r.url()).pathname} ${r.request().postData()} -> ${r.status()} ${answer.slice(0, 200)}`);
    });
  }
  await page.goto(server.url + '/');
  await page.locator('#menu-button').waitFor();
  return page;
}

export async function screenshot(page, name) {
  fs.mkdirSync(artifactsDir, { recursive: true });
  const file = path.join(artifactsDir, `${name}.png`);
  await page.screenshot({ path: file });
  return file;
}

// ---- the main menu (role="menu" / "menuitem" / "menuitemcheckbox") ----
const itemRoles = ['menuitem', 'menuitemcheckbox'];

// The top-level menu opened from the menu button.
export async function openMenu(page) {
  const menus = page.getByRole('menu');
  if (await menus.count()) await page.keyboard.press('Escape');
  await page.locator('#menu-button').click();
  const menu = page.getByRole('menu').first();
  await menu.waitFor();
  return menu;
}

// Reads a menu as [{label, enabled, submenu}] (direct entries only).
export async function readMenu(menu) {
  return menu.evaluate((root) => {
    const entries = [];
    for (const item of root.querySelectorAll('[role="menuitem"], [role="menuitemcheckbox"]')) {
      if (item.closest('[role="menu"]') !== root) continue;
      const clone = item.cloneNode(true);
      clone.querySelectorAll('[role="menu"]').forEach((m) => m.remove());
      clone.querySelectorAll('[aria-hidden="true"]').forEach((m) => m.remove());
      entries.push({
        label: clone.textContent.replace(/[›▸►]/g, '').trim(),
        enabled: item.getAttribute('aria-disabled') !== 'true',
        submenu: item.getAttribute('aria-haspopup') === 'menu' || item.getAttribute('aria-haspopup') === 'true',
      });
    }
    return entries;
  });
}

// Opens the submenu of entry `label` in `menu`; returns the submenu.
export async function openSubmenu(page, menu, label) {
  const before = await page.getByRole('menu').count();
  const entry = await findEntry(menu, label);
  await entry.click();
  await waitFor(async () => (await page.getByRole('menu').count()) > before, `submenu ${label}`);
  return page.getByRole('menu').last();
}

async function findEntry(menu, label) {
  const entries = menu.locator('[role="menuitem"], [role="menuitemcheckbox"]');
  const n = await entries.count();
  for (let i = 0; i < n; ++i) {
    const entry = entries.nth(i);
    const ok = await entry.evaluate((item, wanted) => {
      const clone = item.cloneNode(true);
      clone.querySelectorAll('[role="menu"], [aria-hidden="true"]').forEach((m) => m.remove());
      return clone.textContent.replace(/[›▸►]/g, '').trim() === wanted;
    }, label);
    if (ok && await entry.isVisible()) return entry;
  }
  throw new Error(`no menu entry "${label}" in ${JSON.stringify(await readMenu(menu))}`);
}

// Runs the menu path, e.g. ['Instances', 'New Instance'].
export async function chooseMenu(page, labels) {
  let menu = await openMenu(page);
  for (let i = 0; i < labels.length - 1; ++i) menu = await openSubmenu(page, menu, labels[i]);
  const entry = await findEntry(menu, labels[labels.length - 1]);
  await entry.click();
}

// ---- dialogs (ui/dialog.js: <dialog aria-label=title> with <h2>) ----
export function dialog(page, title) {
  return page.locator(`dialog[open][aria-label="${title.replace(/"/g, '\\"')}"]`);
}

export async function pressButton(dlg, label) {
  await dlg.getByRole('button', { name: label, exact: true }).click();
}

// Waits for a message box titled `title` (any title when null); returns its text and closes it with OK.
export async function takeMessage(page, title = null) {
  const box = title ? dialog(page, title) : page.locator('dialog[open]').filter({ has: page.locator('.tv-message') });
  await box.first().waitFor();
  const text = (await box.first().locator('.tv-dialog-body').innerText()).trim();
  await pressButton(box.first(), 'OK');
  await box.first().waitFor({ state: 'detached' });
  return text;
}

// Page fetches carry the browser's session cookie, Origin and, as the interface
// does, the session token it keeps (and keep a new one a logon answers with).
export function pagePost(page, apiPath, fields) {
  return page.evaluate(async ([p, f]) => {
    const token = localStorage.getItem('torvalen_token');
    const response = await fetch(p, {
      method: 'POST',
      headers: { 'Content-Type': 'application/x-www-form-urlencoded', ...(token ? { 'X-Torvalen-Token': token } : {}) },
      body: new URLSearchParams(f).toString(),
    });
    const body = await response.json().catch(() => null);
    if (body && typeof body.token === 'string') {
      localStorage.setItem('torvalen_token', body.token);
      document.dispatchEvent(new CustomEvent('tv-session'));
    }
    return { status: response.status, body };
  }, [apiPath, fields]);
}

// The session token the page holds (null when it has none).
export function pageToken(page) {
  return page.evaluate(() => localStorage.getItem('torvalen_token'));
}

export function pageGet(page, apiPath, params = {}) {
  return page.evaluate(async ([p, q]) => {
    const query = new URLSearchParams(q).toString();
    const token = localStorage.getItem('torvalen_token');
    const response = await fetch(query ? `${p}?${query}` : p,
      { cache: 'no-store', headers: token ? { 'X-Torvalen-Token': token } : {} });
    return { status: response.status, body: await response.json().catch(() => null) };
  }, [apiPath, params]);
}

// The names on the instance tab strip, in order, and the selected one: read in
// one step, since the strip may be redrawn between two reads (a tab read after
// it was removed would wait for it until the time-out).
export async function instanceTabs(page) {
  const tabs = page.getByRole('tablist', { name: 'Instances' }).getByRole('tab');
  const read = await tabs.evaluateAll((list) => list.map((t) => [t.innerText.trim(), t.getAttribute('aria-selected') === 'true']));
  return { names: read.map(([name]) => name), selected: read.find(([, on]) => on)?.[0] ?? null };
}

export async function selectPage(page, label) {
  const tab = page.getByRole('tablist', { name: 'Pages' }).getByRole('tab', { name: label, exact: true });
  await tab.click();
  await waitFor(async () => (await tab.getAttribute('aria-selected')) === 'true', `page tab ${label} selected`);
}

// The one open dialog (a text entry such as ui/dialog.js askText): types `text`
// into its first text field and presses OK. Returns the dialog's title.
export async function answerText(page, text, { button = 'OK' } = {}) {
  const dlg = page.locator('dialog[open]').last();
  await dlg.waitFor();
  const title = await dlg.getAttribute('aria-label');
  const field = dlg.locator('input[type="text"], input:not([type])').first();
  await field.fill(text);
  await pressButton(dlg, button);
  return title;
}

// The one open Yes/No question: answers it, returns its text.
export async function answerYesNo(page, answer) {
  const dlg = page.locator('dialog[open]').filter({ has: page.getByRole('button', { name: 'Yes', exact: true }) }).last();
  await dlg.waitFor();
  const text = (await dlg.locator('.tv-dialog-body').innerText()).trim();
  await pressButton(dlg, answer);
  await dlg.waitFor({ state: 'detached' });
  return text;
}

// The open password dialog: Log On ({password}) or Change ({old, fresh}: the
// first field takes the old password, every further one the new password and
// its repetition). Presses OK.
export async function fillPasswordDialog(page, { password, old, fresh }) {
  const dlg = page.locator('dialog[open]').last();
  await dlg.waitFor();
  const fields = dlg.locator('input');
  await fields.first().waitFor();
  const n = await fields.count();
  if (password !== undefined) {
    await fields.first().fill(password);
  } else {
    await fields.first().fill(old);
    for (let i = 1; i < n; ++i) await fields.nth(i).fill(fresh);
  }
  await pressButton(dlg, 'OK');
  await dlg.waitFor({ state: 'detached' });
}
