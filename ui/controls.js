// <tv-control-window>: a module's parameter pages. A page list and the
// selected page's group list; each group opens a group window holding the
// widgets of its controls, laid out left to right in rows. Moving a widget
// sends the value and shows what the module read back; a right click offers
// the default commands.
import { get, command } from './api.js';
import { messageBox } from './dialog.js';
import {
  createWidget, defaultMenu, layoutGroupWindows, popupMenu, installStyle,
  GROUP_HEIGHT_PX, NO_ROOM_MESSAGE, NO_ROOM_TITLE,
  MENU_ALL_DEFAULTS, MENU_GROUP_DEFAULTS, MENU_WINDOW_DEFAULTS,
} from './widgets.js';

// The selected page and open group windows of each module page, kept while
// the browser tab lives so that coming back to a page shows what was open.
const remembered = new Map();

function el(tag, className, text) {
  const e = document.createElement(tag);
  if (className) e.className = className;
  if (text !== undefined) e.textContent = text;
  return e;
}

export class ControlWindow extends HTMLElement {
  constructor() {
    super();
    this.model = null;
    this.instance = null;
    this.page = null;
    this.enabled = false;
    this.selectedPage = 0;
    this.windows = []; // open group windows in opening order
    this.values = {};
    this.refreshing = null;
    this.refreshAgain = false;
    this.onValuesChanged = (e) => {
      const d = e.detail || {};
      if (d.instance === this.instance && Number(d.page) === Number(this.page)) this.refresh();
    };
    this.onState = (e) => {
      const d = e.detail || {};
      if (typeof d.logged_on === 'boolean' && this.model) this.setEnabled(d.logged_on);
      this.refresh();
    };
    this.resizeObserver = new ResizeObserver(() => this.layout(false));
    this.addEventListener('contextmenu', (e) => this.contextMenu(e));
    // A typed value that is not a number: said, and the control keeps its value.
    this.addEventListener('tv-bad-value', (e) => messageBox(`"${e.detail.text}" is not a number`, 'Error'));
  }

  connectedCallback() {
    document.addEventListener('tv-values-changed', this.onValuesChanged);
    document.addEventListener('tv-state', this.onState);
    if (this.area) this.resizeObserver.observe(this.area);
  }

  disconnectedCallback() {
    document.removeEventListener('tv-values-changed', this.onValuesChanged);
    document.removeEventListener('tv-state', this.onState);
    this.resizeObserver.disconnect();
    this.remember();
  }

  setup(pageModel) {
    this.remember();
    this.instance = pageModel.instance;
    this.page = pageModel.page;
    this.moduleName = pageModel.module || pageModel.label || '';
    this.model = pageModel.controls || { enabled: false, modified: false, pages: [], values: {} };
    this.values = { ...(this.model.values || {}) };
    this.enabled = !!this.model.enabled;
    this.windows = [];
    this.build();
    const saved = remembered.get(this.key());
    this.selectPage(saved && saved.page < this.model.pages.length ? saved.page : 0);
    if (saved) {
      for (const groupIndex of saved.open) {
        const found = this.findGroup(groupIndex);
        if (found) this.openGroup(found.pagePos, found.groupPos, { warn: false, place: false });
      }
      this.layout(false);
    }
    this.setEnabled(this.enabled);
  }

  key() { return `${this.instance}\n${this.page}`; }

  remember() {
    if (!this.model || this.instance === null) return;
    remembered.set(this.key(), { page: this.selectedPage, open: this.windows.map((w) => w.group.index) });
  }

  findGroup(groupIndex) {
    const pages = this.model.pages;
    for (let p = 0; p < pages.length; ++p) {
      const g = pages[p].groups.findIndex((group) => group.index === groupIndex);
      if (g >= 0) return { pagePos: p, groupPos: g };
    }
    return null;
  }

  build() {
    this.replaceChildren();
    this.classList.add('tv-control-window');
    const nav = el('nav', 'tv-cw-nav');
    nav.append(el('div', 'tv-cw-heading', 'Pages'));
    this.pageList = el('div', 'tv-cw-list tv-cw-pages');
    this.pageList.setAttribute('role', 'group');
    this.pageList.setAttribute('aria-label', `Pages of ${this.moduleName}`);
    this.model.pages.forEach((page, p) => {
      const button = el('button', 'tv-cw-entry', page.label);
      button.type = 'button';
      button.dataset.page = String(p);
      button.addEventListener('click', () => this.selectPage(p));
      this.pageList.append(button);
    });
    nav.append(this.pageList, el('div', 'tv-cw-heading', 'Groups'));
    this.groupList = el('div', 'tv-cw-list tv-cw-groups');
    this.groupList.setAttribute('role', 'group');
    this.groupList.setAttribute('aria-label', 'Groups');
    nav.append(this.groupList);
    this.area = el('div', 'tv-cw-area');
    this.area.setAttribute('aria-label', 'Group windows');
    if (!this.model.pages.length) this.area.append(el('p', 'tv-cw-empty', 'This module has no controls'));
    this.append(nav, this.area);
    this.resizeObserver.disconnect();
    this.resizeObserver.observe(this.area);
  }

  selectPage(p) {
    this.selectedPage = p;
    for (const b of this.pageList.children) b.setAttribute('aria-pressed', b.dataset.page === String(p) ? 'true' : 'false');
    this.groupList.replaceChildren();
    const page = this.model.pages[p];
    if (!page) return;
    page.groups.forEach((group, g) => {
      const button = el('button', 'tv-cw-entry', group.label);
      button.type = 'button';
      button.dataset.page = String(p);
      button.dataset.group = String(g);
      button.dataset.index = String(group.index);
      if (!group.displayable) {
        button.classList.add('tv-cw-undisplayable');
        button.title = 'This group cannot be displayed';
      }
      button.addEventListener('click', () => this.openGroup(p, g, { warn: true }));
      this.groupList.append(button);
    });
    this.markOpenGroups();
  }

  markOpenGroups() {
    const open = new Set(this.windows.map((w) => String(w.group.index)));
    for (const b of this.groupList.children) b.setAttribute('aria-pressed', open.has(b.dataset.index) ? 'true' : 'false');
  }

  // Opens (or brings to view) the window of group `g` of page `p`. A group
  // with a control that has no widget cannot open.
  // With `place` false the caller lays the windows out once afterwards.
  openGroup(p, g, { warn, place = true }) {
    const page = this.model.pages[p];
    const group = page?.groups[g];
    if (!group || !group.displayable) return;
    const existing = this.windows.find((w) => w.group.index === group.index);
    if (existing) {
      existing.element.scrollIntoView({ block: 'nearest' });
      existing.element.classList.remove('tv-flash');
      void existing.element.offsetWidth;
      existing.element.classList.add('tv-flash');
      return;
    }
    const win = this.buildGroupWindow(p, g, page, group);
    this.windows.push(win);
    this.area.append(win.element);
    this.markOpenGroups();
    if (place && this.layout(warn) && !win.element.hidden) win.element.scrollIntoView({ block: 'nearest' });
  }

  closeGroup(win) {
    this.windows = this.windows.filter((w) => w !== win);
    win.element.remove();
    this.markOpenGroups();
    this.layout(false);
  }

  buildGroupWindow(p, g, page, group) {
    const element = el('section', 'tv-group');
    element.setAttribute('aria-label', group.label);
    element.style.width = `${group.width_px}px`;
    element.style.height = `${GROUP_HEIGHT_PX}px`;
    element.dataset.page = String(p);
    element.dataset.group = String(g);
    const title = el('header', 'tv-group-title');
    const caption = el('span', 'tv-group-caption', group.label);
    caption.title = `${page.label} \u2013 ${group.label}`;
    const close = el('button', 'tv-group-close', '\u00d7');
    close.type = 'button';
    close.setAttribute('aria-label', `Close ${group.label}`);
    title.append(caption, close);
    const body = el('div', 'tv-group-body');
    body.style.width = `${Math.max(0, group.width_px - 2)}px`;
    const widgets = new Map();
    const lists = group.controls.filter((c) => c.widget === 'list_switch');
    for (const control of group.controls) {
      const n = lists.indexOf(control);
      const listName = n < 0 ? '' : lists.length > 1 ? `${group.label} ${n + 1}` : group.label;
      const widget = createWidget(control, (value) => this.send(control, value), { listName });
      if (!widget) continue;
      widget.show(this.valueOf(control));
      widget.setEnabled(this.enabled);
      widgets.set(String(control.index), widget);
      body.append(widget.element);
    }
    element.append(title, body);
    const win = { element, group, widgets, pagePos: p, groupPos: g };
    close.addEventListener('click', () => this.closeGroup(win));
    return win;
  }

  valueOf(control) {
    const v = this.values[String(control.index)];
    return typeof v === 'number' ? v : control.default;
  }

  // Places the open windows; returns true when at least one is shown. With
  // `warn`, a layout where not one window fits shows the no-room message.
  layout(warn) {
    if (!this.area || !this.windows.length) return false;
    const width = this.area.clientWidth;
    // Not laid out yet (hidden): try again when the area gets its size.
    if (!width) return false;
    // A browser window cannot always be made wider (a laptop, a transmitter-site
    // screen): a group wider than the area gets a row of its own and the area
    // scrolls sideways, so a chosen group is never hidden.
    const widths = this.windows.map((w) => w.group.width_px);
    const positions = layoutGroupWindows(widths, Math.max(width, ...widths), Number.MAX_SAFE_INTEGER);
    let any = false;
    this.windows.forEach((w, i) => {
      const at = positions[i];
      w.element.hidden = !at;
      if (!at) return;
      any = true;
      w.element.style.left = `${at.x}px`;
      w.element.style.top = `${at.y}px`;
    });
    if (!any && warn) messageBox(NO_ROOM_MESSAGE, NO_ROOM_TITLE);
    return any;
  }

  async send(control, value) {
    const answer = await command('/api/control/set', {
      instance: this.instance, page: this.page, index: control.index, value: String(value),
    });
    if (!answer.ok) {
      // Refused: go back to what the module holds.
      this.refresh();
      return null;
    }
    this.values[String(control.index)] = answer.value;
    return answer.value;
  }

  setEnabled(on) {
    this.enabled = on;
    this.classList.toggle('tv-locked', !on);
    for (const w of this.windows) for (const widget of w.widgets.values()) widget.setEnabled(on);
  }

  // Reads every value again and moves the widgets there (after a preset load,
  // a default command or any change of the state). Calls made while one read
  // is out run once more after it.
  async refresh() {
    if (!this.model || !this.model.pages.length) return;
    if (this.refreshing) {
      this.refreshAgain = true;
      return;
    }
    this.refreshing = true;
    try {
      do {
        this.refreshAgain = false;
        let answer;
        try {
          answer = await get('/api/values', { instance: this.instance, page: this.page });
        } catch {
          return;
        }
        this.values = { ...(answer.values || {}) };
        this.model.modified = !!answer.modified;
        for (const w of this.windows) {
          for (const control of w.group.controls) {
            const widget = w.widgets.get(String(control.index));
            if (widget && !widget.busy) widget.show(this.valueOf(control));
          }
        }
      } while (this.refreshAgain);
    } finally {
      this.refreshing = null;
    }
  }

  contextMenu(e) {
    if (!this.model) return;
    e.preventDefault();
    const target = e.target instanceof Element ? e.target : null;
    const groupWindow = target?.closest('section.tv-group');
    const entry = target?.closest('button[data-page]');
    let spot = 'outside';
    let p = this.selectedPage, g = 0;
    if (groupWindow) {
      spot = 'group_entry';
      p = Number(groupWindow.dataset.page);
      g = Number(groupWindow.dataset.group);
    } else if (entry && entry.dataset.group !== undefined) {
      spot = 'group_entry';
      p = Number(entry.dataset.page);
      g = Number(entry.dataset.group);
    } else if (entry) {
      spot = 'page_entry';
      p = Number(entry.dataset.page);
    }
    const offer = defaultMenu(spot);
    const locked = !this.enabled;
    popupMenu(e.clientX, e.clientY, [
      { label: MENU_ALL_DEFAULTS, disabled: locked || !offer.all, action: () => this.defaults({ scope: 'all' }) },
      { label: MENU_GROUP_DEFAULTS, disabled: locked || !offer.group, action: () => this.defaults({ scope: 'page', tree_page: p }) },
      { label: MENU_WINDOW_DEFAULTS, disabled: locked || !offer.window, action: () => this.defaults({ scope: 'group', tree_page: p, tree_group: g }) },
    ], { label: 'Default values' });
  }

  async defaults(fields) {
    const answer = await command('/api/control/defaults', { instance: this.instance, page: this.page, ...fields });
    if (!answer.ok) return;
    document.dispatchEvent(new CustomEvent('tv-values-changed', { detail: { instance: this.instance, page: this.page } }));
  }
}

installStyle('tv-controls-style', `
tv-control-window { display: flex; min-height: 0; min-width: 0; flex: 1; gap: 6px; color: var(--TextColor, #fff);
  font: var(--MediumFont, 12px calibri, sans-serif); }
tv-control-window .tv-cw-nav { flex: 0 0 150px; display: flex; flex-direction: column; gap: 2px; overflow-y: auto;
  background: var(--DarkBackground, #2f2f2f); border: 1px solid #0006; padding: 4px; }
tv-control-window .tv-cw-heading { font: var(--TitleFont, bold 13px calibri, sans-serif); color: var(--GrayedTextColor, #c0c0c0);
  text-transform: uppercase; letter-spacing: .06em; font-size: 10px; padding: 4px 2px 1px; }
tv-control-window .tv-cw-list { display: flex; flex-direction: column; gap: 1px; }
tv-control-window .tv-cw-entry { text-align: left; font: inherit; color: var(--TextColor, #fff); background: var(--Tab_Inactive, #616161);
  border: 1px solid #0005; border-radius: 2px; padding: 3px 7px; cursor: pointer; white-space: nowrap; overflow: hidden; text-overflow: ellipsis; }
tv-control-window .tv-cw-entry:hover { background: var(--Foreground, #808080); }
tv-control-window .tv-cw-pages .tv-cw-entry[aria-pressed="true"] { background: var(--Tab_Active, #206bb7); }
tv-control-window .tv-cw-groups .tv-cw-entry[aria-pressed="true"] { box-shadow: inset 3px 0 0 var(--Tab_Highlighted, #2ea5de);
  background: #3b4a58; }
tv-control-window .tv-cw-entry.tv-cw-undisplayable { color: var(--GrayedTextColor, #c0c0c0); opacity: .55; cursor: not-allowed; }
tv-control-window .tv-cw-area { position: relative; flex: 1; min-width: 0; overflow-x: auto; overflow-y: auto;
  background: var(--Background, #4e4e4e); }
tv-control-window .tv-cw-empty { margin: 12px; color: var(--GrayedTextColor, #c0c0c0); }
tv-control-window .tv-group { position: absolute; box-sizing: border-box; border: 1px solid #111; display: flex; flex-direction: column;
  background: linear-gradient(var(--Foreground, #808080) -60%, var(--Background, #4e4e4e) 40%); overflow: hidden; }
tv-control-window .tv-group[hidden] { display: none; }
tv-control-window .tv-group.tv-flash { animation: tv-flash .6s ease-out; }
@keyframes tv-flash { from { box-shadow: inset 0 0 0 2px var(--Tab_Highlighted, #2ea5de); } to { box-shadow: none; } }
tv-control-window .tv-group-title { flex: 0 0 22px; box-sizing: border-box; display: flex; align-items: center; gap: 4px; padding: 0 2px 0 6px;
  background: var(--Title, #1043a0); color: var(--TitleTextColor, #fff); font: var(--TitleFont, bold 13px calibri, sans-serif); }
tv-control-window .tv-group-caption { flex: 1; overflow: hidden; text-overflow: ellipsis; white-space: nowrap; }
tv-control-window .tv-group-close { font: inherit; line-height: 1; background: none; border: none; color: inherit; cursor: pointer;
  padding: 0 4px; opacity: .75; }
tv-control-window .tv-group-close:hover { opacity: 1; background: #fff3; }
tv-control-window .tv-group-body { position: relative; flex: 1; }
tv-control-window.tv-locked .tv-group-body { opacity: .7; }
`);

if (!customElements.get('tv-control-window')) customElements.define('tv-control-window', ControlWindow);
