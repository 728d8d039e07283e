// The main window: caption strip with the menu button, the instances tab strip,
// the page tabs and the module page. It follows the program's state: every
// `state` event fetches /api/state again, redraws, and re-dispatches the state
// as the document event 'tv-state' for the other parts of the window.

import * as api from './api.js';
import { get, command, onEvent } from './api.js';
import { messageBox } from './dialog.js';
import { PopupMenu } from './menu.js';
import { runCommand } from './main-dialogs.js';
import './module-page.js';

const COLOR_NAMES = [
  'Background', 'Foreground', 'DarkBackground', 'Title', 'TitleTextColor', 'TextColor',
  'Tab_Inactive', 'Tab_Highlighted', 'Tab_Active', 'GrayedTextColor', 'MeterBackground',
  'MeterBarLevel1', 'MeterBarLevel2', 'MeterBarLevel3', 'MeterBarGR1', 'MeterBarGR2',
  'MeterBarGR3', 'MeterBarGR4', 'Progress', 'ProgressBk', 'RedPen', 'GreenPen', 'SumPen',
  'GratPen', 'DivPen',
];
const FONT_NAMES = ['SmallFont', 'MediumFont', 'TitleFont', 'LargeFont'];
const RETRY_MS = 2000;
// Without any event for this long, the state is read again: it shows a lost
// connection, and brings the window up to date once the program is back.
const QUIET_CHECK_MS = 3000;
const LOG_ON_DELAY_MS = 500;

const menuButton = document.getElementById('menu-button');
const captionInstance = document.getElementById('caption-instance');
const captionLock = document.getElementById('caption-lock');
const captionLink = document.getElementById('caption-link');
const instanceTabs = document.getElementById('instance-tabs');
const pageTabs = document.getElementById('page-tabs');
const modulePage = document.querySelector('tv-module-page');

let state = null;
let fetching = false;
let fetchAgain = false;
let retryTimer = 0;
let stopped = false;
let firstState = true;
let styleKey = '';
let instanceKey = '';
let pageKey = '';
let lastHeard = Date.now();

const context = {
  state: () => state,
  reloadPage: () => modulePage?.reload(),
  stopped: () => stop(),
};

const menu = new PopupMenu({
  onCommand: (id) => runCommand(id, context),
});

// ---- State ----

async function refresh() {
  if (stopped) return;
  if (fetching) {
    fetchAgain = true;
    return;
  }
  fetching = true;
  try {
    do {
      fetchAgain = false;
      const seen = state?.current;
      const view = seen == null ? undefined : viewPages.get(seen);
      const next = await get('/api/state', view === undefined ? {} : { view_instance: seen, page: String(view) });
      if (stopped) return;
      lastHeard = Date.now();
      captionLink.textContent = '';
      apply(next);
    } while (fetchAgain);
  } catch (error) {
    if (stopped) return;
    captionLink.textContent = 'Disconnected';
    clearTimeout(retryTimer);
    retryTimer = setTimeout(refresh, RETRY_MS);
  } finally {
    fetching = false;
  }
}

// Each browser views a page of its own, per instance (kept across reloads of this
// tab); an instance not seen yet opens on the page the program stored, which a
// logged-on browser's choice updates.
const viewPages = new Map(JSON.parse(sessionStorage.getItem('tv-view-pages') || '[]'));
function viewPage(s) {
  if (s.current == null) return s.page;
  if (!viewPages.has(s.current)) viewPages.set(s.current, s.stored_page ?? s.page);
  return viewPages.get(s.current);
}
function selectPage(page) {
  viewPages.set(state.current, page);
  sessionStorage.setItem('tv-view-pages', JSON.stringify([...viewPages]));
  // The stored page is what a newly opened browser shows first: only a browser
  // that may change settings stores it.
  if (state.logged_on) command('/api/page/select', { page: String(page) }, { quiet: true });
  refresh();
}

function apply(next) {
  const view = viewPage(next);
  if (next.page !== view) {
    // The answer is for another page than this browser views (its first sight of
    // the instance): ask again for the viewed page's menu.
    fetchAgain = true;
    next = { ...next, page: view };
  }
  api.setEventPage(next.current == null ? null : view);
  state = next;
  applyStyle(next.style);
  document.title = next.current ? `${next.title || 'Torvalen'} — ${next.current}` : (next.title || 'Torvalen');
  captionInstance.textContent = next.current ?? '';
  captionLock.textContent = next.password_set && !next.logged_on ? 'Locked' : '';
  renderInstanceTabs(next);
  renderPageTabs(next);
  menu.update(next.menu);
  document.dispatchEvent(new CustomEvent('tv-state', { detail: next }));
  if (firstState) {
    firstState = false;
    // A stored password: offer the Log On dialog shortly after start.
    if (next.password_set && !next.logged_on) {
      setTimeout(() => {
        if (state && !state.logged_on && !document.querySelector('dialog[open]')) runCommand('log_on', context);
      }, LOG_ON_DELAY_MS);
    }
  }
}

// ---- Style: one CSS variable per colour and font ----

function fontPixels(points) {
  return Math.round((Number(points) || 9) * 96 / 72 * 100) / 100;
}

function applyStyle(style) {
  if (!style) return;
  const key = JSON.stringify(style);
  if (key === styleKey) return;
  styleKey = key;
  const root = document.documentElement.style;
  for (const name of COLOR_NAMES) {
    const value = style.colors?.[name];
    if (typeof value === 'string' && /^#[0-9a-fA-F]{6}$/.test(value)) root.setProperty(`--${name}`, value);
  }
  for (const name of FONT_NAMES) {
    const font = style.fonts?.[name];
    if (!font) continue;
    const face = `"${String(font.face || 'calibri').replace(/["\\]/g, '')}"`;
    const size = `${fontPixels(font.points)}px`;
    const weight = String(Number(font.weight) || 400);
    root.setProperty(`--${name}-face`, face);
    root.setProperty(`--${name}-size`, size);
    root.setProperty(`--${name}-weight`, weight);
    root.setProperty(`--${name}`, `${weight} ${size} ${face}, var(--tv-fallback-faces)`);
  }
}

// ---- Tab strips ----

// Arrow keys move between tabs; Enter, Space or a click selects.
function tabKeys(list) {
  list.addEventListener('keydown', (e) => {
    const tabs = [...list.querySelectorAll('[role="tab"]')];
    const at = tabs.indexOf(document.activeElement);
    if (at < 0) return;
    let next = -1;
    if (e.key === 'ArrowRight') next = (at + 1) % tabs.length;
    else if (e.key === 'ArrowLeft') next = (at - 1 + tabs.length) % tabs.length;
    else if (e.key === 'Home') next = 0;
    else if (e.key === 'End') next = tabs.length - 1;
    if (next < 0) return;
    e.preventDefault();
    for (const t of tabs) t.tabIndex = -1;
    tabs[next].tabIndex = 0;
    tabs[next].focus();
  });
}

function makeTab(label, selected, onSelect) {
  const tab = document.createElement('button');
  tab.type = 'button';
  tab.setAttribute('role', 'tab');
  tab.setAttribute('aria-selected', String(selected));
  tab.tabIndex = selected ? 0 : -1;
  tab.textContent = label;
  tab.addEventListener('click', () => {
    if (tab.getAttribute('aria-selected') !== 'true') onSelect();
  });
  return tab;
}

function renderInstanceTabs(s) {
  const key = JSON.stringify([s.instances, s.current]);
  if (key === instanceKey) return;
  instanceKey = key;
  const hadFocus = instanceTabs.contains(document.activeElement);
  instanceTabs.replaceChildren(...(s.instances || []).map((name) =>
    makeTab(name, name === s.current, async () => {
      const answer = await command('/api/instance/select', { name });
      if (answer.ok) refresh();
    })));
  if (hadFocus) instanceTabs.querySelector('[aria-selected="true"]')?.focus();
}

function renderPageTabs(s) {
  const pages = s.current == null ? [] : (s.pages || []);
  const key = JSON.stringify([s.current, s.page, pages]);
  if (key === pageKey) return;
  pageKey = key;
  const hadFocus = pageTabs.contains(document.activeElement);
  pageTabs.replaceChildren(...pages.map((p) => {
    const tab = makeTab(p.label, p.index === s.page, () => selectPage(p.index));
    if (!p.present) {
      tab.classList.add('tv-absent');
      tab.title = 'Not available in this build';
    }
    return tab;
  }));
  if (hadFocus) pageTabs.querySelector('[aria-selected="true"]')?.focus();
}

// ---- Menu button ----

menuButton.addEventListener('click', () => {
  if (menu.isOpen) menu.close();
  else if (state) menu.open(menuButton, state.menu || []);
});
menuButton.addEventListener('keydown', (e) => {
  if ((e.key === 'ArrowDown' || e.key === 'Enter' || e.key === ' ') && !menu.isOpen && state) {
    e.preventDefault();
    menu.open(menuButton, state.menu || []);
  }
});

// ---- Program stopped ----

function stop() {
  stopped = true;
  clearTimeout(retryTimer);
  menu.close();
  // Stop the event stream from reconnecting, where api.js offers it.
  if (typeof api.closeEvents === 'function') api.closeEvents();
  const cover = document.createElement('div');
  cover.className = 'tv-stopped';
  cover.setAttribute('role', 'alert');
  cover.textContent = 'Torvalen has stopped';
  document.body.replaceChildren(cover);
}

// ---- Start ----

tabKeys(instanceTabs);
tabKeys(pageTabs);
onEvent('state', () => refresh());
document.addEventListener('tv-session', () => refresh());
onEvent('meters', () => { lastHeard = Date.now(); });
setInterval(() => {
  if (!stopped && !fetching && Date.now() - lastHeard > QUIET_CHECK_MS) refresh();
}, QUIET_CHECK_MS);
onEvent('message', (data) => {
  if (!stopped) messageBox(data?.message ?? '', data?.title || 'Error');
});
refresh();
