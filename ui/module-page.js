// <tv-module-page>: the selected page of the current instance. It reads the page
// model (GET /api/page) and lays out what the page has: the preset bar on top,
// the control window and analyser view in the main area, the meter panel and
// status pane at the side. Those elements come from their own modules, loaded on
// demand: a module that is missing or fails leaves a placeholder, never a
// broken window.
//
// It follows the main window's 'tv-state' events and shows the page again when
// the current instance or page, the set of instances or the lock state changed.

import { get } from './api.js';

// Element name → module that defines it.
const PARTS = {
  'tv-preset-bar': './presets.js',
  'tv-control-window': './controls.js',
  'tv-meter-panel': './meters.js',
  'tv-analyser-view': './analyser.js',
  'tv-status-pane': './meters.js',
  'tv-player-page': './player.js',
};

const PART_NAMES = {
  'tv-preset-bar': 'Preset bar',
  'tv-control-window': 'Controls',
  'tv-meter-panel': 'Meters',
  'tv-analyser-view': 'Analyser',
  'tv-status-pane': 'Status',
  'tv-player-page': 'Player',
};

const loaded = new Map();  // module path → Promise<boolean>

// Loads the module defining `tag`; resolves to whether the element exists.
function loadPart(tag) {
  const path = PARTS[tag];
  if (!loaded.has(path)) {
    loaded.set(path, import(path).then(() => true, (error) => {
      console.error(`torvalen: ${path} could not be loaded`, error);
      return false;
    }));
  }
  return loaded.get(path).then((ok) => ok && customElements.get(tag) !== undefined);
}

function placeholder(tag, reason) {
  const div = document.createElement('div');
  div.className = 'tv-placeholder';
  div.dataset.part = tag;
  div.textContent = `${PART_NAMES[tag]}: ${reason}`;
  return div;
}

export class ModulePage extends HTMLElement {
  constructor() {
    super();
    this.instance = null;
    this.page = null;
    this.model = null;
    this.token = 0;
    this.stateKey = null;
    this.onState = (e) => this.followState(e.detail);
  }

  connectedCallback() {
    document.addEventListener('tv-state', this.onState);
  }

  disconnectedCallback() {
    document.removeEventListener('tv-state', this.onState);
    this.token += 1;
  }

  // Shows page `page` (0..7) of instance `instance`; with a null instance, the
  // "no instance" notice.
  async show(instance, page) {
    const token = ++this.token;
    this.instance = instance;
    this.page = page;
    if (instance === null || instance === undefined) {
      this.model = null;
      this.replaceChildren(this.notice('No instance', 'Use Menu › Instances › New Instance to create one.'));
      return;
    }
    let model;
    try {
      model = await get('/api/page', { instance, page });
    } catch (error) {
      if (token !== this.token) return;
      this.model = null;
      this.replaceChildren(this.notice('This page cannot be shown', error?.body?.message || String(error?.message || error)));
      return;
    }
    if (token !== this.token) return;
    await this.build(model, token);
  }

  // Shows the same page again (after a change of what fills it).
  reload() {
    if (this.instance !== null) this.show(this.instance, this.page);
  }

  // The part elements currently shown (for tests and the main window).
  part(tag) {
    return this.querySelector(tag);
  }

  // ---- internals ----

  followState(state) {
    if (!state) return;
    const current = state.current ?? null;
    const page = state.page ?? 0;
    // The page's entry (label, present and whatever else describes what fills it).
    const entry = state.pages?.[page] ?? null;
    const key = JSON.stringify([current, page, state.instances || [], !!state.logged_on, entry]);
    if (key === this.stateKey) return;
    this.stateKey = key;
    // Another instance or page: drop the old parts at once, so that they stop
    // asking the server about a page that is no longer shown (or an instance
    // that was renamed or closed) while the new model is being fetched.
    if (current !== this.instance || page !== this.page) this.replaceChildren();
    this.show(current, page);
  }

  notice(title, text) {
    const box = document.createElement('div');
    box.className = 'tv-page-message';
    const strong = document.createElement('strong');
    strong.textContent = title;
    box.append(strong);
    if (text) {
      const p = document.createElement('span');
      p.textContent = text;
      box.append(p);
    }
    return box;
  }

  async build(model, token) {
    this.model = model;
    if (!model.module) {
      this.replaceChildren(this.notice(model.label || 'Page', 'The module is not available in this build'));
      return;
    }
    const wanted = [];
    if (model.presets) wanted.push(['tv-preset-bar', 'top']);
    if (model.controls) wanted.push(['tv-control-window', 'main']);
    if (model.analyser) wanted.push(['tv-analyser-view', 'main']);
    if (model.player) wanted.push(['tv-player-page', 'main']);
    if (model.meters) wanted.push(['tv-meter-panel', 'side']);
    if (model.status) wanted.push(['tv-status-pane', 'side']);

    const ready = await Promise.all(wanted.map(([tag]) => loadPart(tag)));
    if (token !== this.token) return;

    const top = document.createElement('div');
    top.className = 'tv-mp-top';
    const body = document.createElement('div');
    body.className = 'tv-mp-body';
    const main = document.createElement('div');
    main.className = 'tv-mp-main';
    const side = document.createElement('aside');
    side.className = 'tv-mp-side';
    body.append(main, side);
    const areas = { top, main, side };
    const made = [];
    wanted.forEach(([tag, area], i) => {
      const node = ready[i] ? document.createElement(tag) : placeholder(tag, 'not available');
      areas[area].append(node);
      if (ready[i]) made.push([tag, node]);
    });
    if (!main.childElementCount) body.classList.add('tv-side-only');
    if (!wanted.length) main.append(this.notice(model.label || model.module, model.module));
    this.replaceChildren(top, body);

    // Elements are connected now: hand each its model.
    for (const [tag, node] of made) {
      try {
        const result = node.setup(model);
        if (result && typeof result.then === 'function') {
          result.catch((error) => this.failed(tag, node, error));
        }
      } catch (error) {
        this.failed(tag, node, error);
      }
    }
  }

  failed(tag, node, error) {
    console.error(`torvalen: ${tag} could not be set up`, error);
    if (node.isConnected) node.replaceWith(placeholder(tag, 'could not be shown'));
  }
}

if (!customElements.get('tv-module-page')) customElements.define('tv-module-page', ModulePage);
