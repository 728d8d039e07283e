// <tv-preset-bar>: a module's presets (and, on the processors, day-parts).
// The list of the mode's names (choosing one loads it), the current name with
// " *" while it differs from what is stored, and the preset menu: Save, Save
// As, Notes, Edit Dayparts, Enable Dayparting, Import, Export, Delete.
import { get, command } from './api.js';
import { openDialog, askYesNo, askText, messageBox } from './dialog.js';
import { popupMenu, installStyle } from './widgets.js';
import { openFileDialog } from './files.js';
import { openDaypartEditor } from './dayparts.js';

// Texts of the bar's dialogs, as the program has them.
export const BAR_TEXT = {
  save_as_title: 'Preset....Save As',
  save_title: 'Preset....Save',
  overwrite_title: 'Preset....Overwrite',
  daypart_save_as_title: 'Daypart....Save As',
  daypart_save_title: 'Daypart....Save',
  daypart_overwrite_title: 'Daypart....Overwrite',
  notes_title: 'Preset Notes Editor',
  daypart_notes_title: 'Day Part Notes Editor',
  menu_save: 'Save',
  menu_save_as: 'Save As',
  menu_notes: 'Notes',
  menu_edit_dayparts: 'Edit Dayparts',
  menu_enable_dayparting: 'Enable Dayparting',
  menu_import: 'Import',
  menu_export: 'Export',
  menu_delete: 'Delete',
  menu_undo: 'Undo',
  menu_upload: 'Upload From This Computer',
  menu_download: 'Download To This Computer',
};
export const MAX_NAME_CHARS = 63;
export const MAX_NOTES_CHARS = 10233;

// What each kind of list needs: its commands, titles and file type.
const KINDS = {
  presets: {
    api: '/api/presets',
    saveAs: BAR_TEXT.save_as_title, save: BAR_TEXT.save_title, overwrite: BAR_TEXT.overwrite_title,
    notesTitle: BAR_TEXT.notes_title, deleteTitle: 'Preset....Delete', what: 'preset',
    extension: 'fmt4', importFilter: 'Preset Files(fmt4)', exportFilter: 'Preset Files(fmt4)',
    current: (b) => b.current || '', modified: (b) => !!b.modified, notes: (b) => b.notes || '',
    offer: (b) => b.save_offer || 'none',
  },
  dayparts: {
    api: '/api/dayparts',
    saveAs: BAR_TEXT.daypart_save_as_title, save: BAR_TEXT.daypart_save_title, overwrite: BAR_TEXT.daypart_overwrite_title,
    notesTitle: BAR_TEXT.daypart_notes_title, deleteTitle: 'Daypart....Delete', what: 'day-part',
    extension: 'dpt4', importFilter: 'Daypart  Files(dpt4)', exportFilter: 'Daypart Files(dpt4)',
    current: (b) => b.current_daypart || '', modified: (b) => !!b.daypart_modified, notes: (b) => b.daypart_notes || '',
    offer: (b) => b.daypart_save_offer || 'none',
  },
};

// The text the bar shows for the current name.
export function currentText(name, modified) {
  return name ? (modified ? `${name} *` : name) : '';
}

function el(tag, className, text) {
  const e = document.createElement(tag);
  if (className) e.className = className;
  if (text !== undefined) e.textContent = text;
  return e;
}

export class PresetBarElement extends HTMLElement {
  constructor() {
    super();
    this.bar = null;
    this.instance = null;
    this.page = null;
    this.busy = false;
    this.fetching = false;
    this.fetchAgain = false;
    this.onState = () => this.reload();
    this.onValuesChanged = (e) => {
      const d = e.detail || {};
      if (d.instance === this.instance && Number(d.page) === Number(this.page)) this.reload();
    };
    this.addEventListener('contextmenu', (e) => {
      e.preventDefault();
      if (e.target instanceof Element && e.target.closest('select')) this.listMenu(e.clientX, e.clientY);
      else this.openMenu(e.clientX, e.clientY);
    });
  }

  connectedCallback() {
    this.setAttribute('role', 'toolbar');
    this.setAttribute('aria-label', 'Preset bar');
    document.addEventListener('tv-state', this.onState);
    document.addEventListener('tv-values-changed', this.onValuesChanged);
  }

  disconnectedCallback() {
    document.removeEventListener('tv-state', this.onState);
    document.removeEventListener('tv-values-changed', this.onValuesChanged);
  }

  setup(pageModel) {
    this.instance = pageModel.instance;
    this.page = pageModel.page;
    this.build();
    this.update(pageModel.presets);
  }

  build() {
    this.replaceChildren();
    this.listKey = null;
    this.modeGroup = el('div', 'tv-pb-mode');
    this.modeGroup.setAttribute('role', 'group');
    this.modeGroup.setAttribute('aria-label', 'Bar mode');
    this.modeButtons = {};
    for (const [mode, label] of [['presets', 'Presets'], ['dayparts', 'Dayparts']]) {
      const b = el('button', 'tv-pb-mode-button', label);
      b.type = 'button';
      b.addEventListener('click', () => this.setMode(mode));
      this.modeButtons[mode] = b;
      this.modeGroup.append(b);
    }
    this.modeLabel = el('span', 'tv-pb-label', 'Preset');
    this.list = el('select', 'tv-pb-list');
    this.list.setAttribute('aria-label', 'Preset list');
    this.list.addEventListener('change', () => {
      const name = this.list.value;
      if (name) this.choose(name);
    });
    const currentBox = el('div', 'tv-pb-current-box');
    this.currentLabel = el('span', 'tv-pb-label', 'Current');
    this.current = el('span', 'tv-preset-current');
    this.current.setAttribute('aria-live', 'polite');
    currentBox.append(this.currentLabel, this.current);
    // In day-part mode the preset in force is shown beside the day-part.
    this.secondary = el('span', 'tv-pb-secondary');
    this.secondaryName = el('span', 'tv-pb-secondary-name');
    this.secondary.append(el('span', 'tv-pb-label', 'Preset'), this.secondaryName);
    this.badge = el('span', 'tv-pb-badge', 'Dayparting');
    this.menuButton = el('button', 'tv-pb-menu-button', 'Preset \u25be');
    this.menuButton.type = 'button';
    this.menuButton.setAttribute('aria-label', 'Preset menu');
    this.menuButton.setAttribute('aria-haspopup', 'menu');
    this.menuButton.addEventListener('click', () => {
      const r = this.menuButton.getBoundingClientRect();
      this.openMenu(r.left, r.bottom + 2);
    });
    this.append(this.modeGroup, this.modeLabel, this.list, currentBox, this.secondary, this.badge, this.menuButton);
  }

  get mode() { return this.bar?.mode === 'dayparts' ? 'dayparts' : 'presets'; }
  get kind() { return KINDS[this.mode]; }

  update(bar) {
    if (!bar) return;
    this.bar = bar;
    const kind = this.kind;
    const offered = !!bar.dayparts_offered;
    this.modeGroup.hidden = !offered;
    for (const [mode, b] of Object.entries(this.modeButtons)) {
      b.setAttribute('aria-pressed', String(mode === this.mode));
      b.disabled = !bar.enabled;
    }
    this.modeLabel.textContent = this.mode === 'dayparts' ? 'Day part' : 'Preset';
    this.modeLabel.hidden = offered;
    const name = kind.current(bar);
    const names = bar.list || [];
    // The list shows the mode's names with the current one selected; with no
    // current name an empty entry stands selected so that any name can be chosen.
    // Rebuilt only when the names change, so an open drop-down stays open.
    const withBlank = !names.includes(name);
    const key = JSON.stringify([withBlank, names]);
    if (key !== this.listKey) {
      this.listKey = key;
      const options = [];
      if (withBlank) {
        const blank = new Option('', '');
        blank.disabled = true;
        blank.hidden = true;
        options.push(blank);
      }
      for (const n of names) options.push(new Option(n, n));
      this.list.replaceChildren(...options);
    }
    this.list.value = withBlank ? '' : name;
    this.list.disabled = !bar.enabled;
    this.current.textContent = currentText(name, kind.modified(bar));
    this.current.title = kind.notes(bar);
    this.classList.toggle('tv-pb-modified', kind.modified(bar));
    this.secondaryName.textContent = currentText(bar.current || '', !!bar.modified);
    this.secondary.hidden = this.mode !== 'dayparts';
    this.badge.hidden = !(offered && bar.dayparting_enabled);
    this.classList.toggle('tv-locked', !bar.enabled);
  }

  // Reads the bar again (the state changed, values were reloaded).
  async reload() {
    if (this.instance === null) return;
    if (this.fetching) { this.fetchAgain = true; return; }
    this.fetching = true;
    try {
      do {
        this.fetchAgain = false;
        try {
          const bar = await get('/api/presets', { instance: this.instance, page: this.page });
          this.update(bar);
        } catch { return; }
      } while (this.fetchAgain);
    } finally {
      this.fetching = false;
    }
  }

  fields(extra) { return { instance: this.instance, page: this.page, ...extra }; }

  // Sends a bar command; on success shows the bar the program answered.
  async run(path, extra) {
    const answer = await command(path, this.fields(extra));
    if (answer.ok && answer.presets) this.update(answer.presets);
    else if (!answer.ok) this.reload();
    return answer.ok;
  }

  valuesChanged() {
    document.dispatchEvent(new CustomEvent('tv-values-changed', { detail: { instance: this.instance, page: this.page } }));
  }

  // One command at a time: a second click while a dialog is open does nothing.
  async exclusive(task) {
    if (this.busy) return;
    this.busy = true;
    try {
      await task();
    } finally {
      this.busy = false;
      this.update(this.bar);
    }
  }

  openMenu(x, y) {
    const bar = this.bar;
    if (!bar) return;
    const locked = !bar.enabled;
    const entries = [
      { label: BAR_TEXT.menu_save, disabled: locked, action: () => this.exclusive(() => this.save(this.mode)) },
      { label: BAR_TEXT.menu_save_as, disabled: locked, action: () => this.exclusive(() => this.saveAs(this.mode)) },
      { label: BAR_TEXT.menu_notes, disabled: locked, action: () => this.exclusive(() => this.editNotes()) },
    ];
    if (bar.dayparts_offered) {
      entries.push(
        { separator: true },
        { label: BAR_TEXT.menu_edit_dayparts, disabled: locked, action: () => this.exclusive(() => this.editDayparts()) },
        { label: BAR_TEXT.menu_enable_dayparting, disabled: locked, checked: !!bar.dayparting_enabled,
          action: () => this.exclusive(() => this.run('/api/dayparts/enable', { enable: bar.dayparting_enabled ? '0' : '1' })) },
      );
    }
    entries.push(
      { separator: true },
      { label: BAR_TEXT.menu_import, disabled: locked, action: () => this.exclusive(() => this.importFile()) },
      { label: BAR_TEXT.menu_export, disabled: locked, action: () => this.exclusive(() => this.exportFile()) },
      // The file on this computer rather than on the server's.
      { label: BAR_TEXT.menu_upload, disabled: locked, action: () => this.exclusive(() => this.uploadFile()) },
      { label: BAR_TEXT.menu_download, disabled: locked, action: () => this.exclusive(() => this.downloadFile()) },
      { separator: true },
      { label: BAR_TEXT.menu_delete, disabled: locked || !this.list.value, action: () => this.exclusive(() => this.remove()) },
      { separator: true },
      // One step back from the last preset load or default reset.
      { label: BAR_TEXT.menu_undo, disabled: locked || !bar.undo, action: () => this.exclusive(async () => {
        if (await this.run('/api/presets/undo')) this.valuesChanged();
      }) },
    );
    popupMenu(x, y, entries, { label: 'Preset menu' });
  }

  // The list's own menu: Delete for the selected name.
  listMenu(x, y) {
    if (!this.bar) return;
    popupMenu(x, y, [
      { label: BAR_TEXT.menu_delete, disabled: !this.bar.enabled || !this.list.value, action: () => this.exclusive(() => this.remove()) },
    ], { label: 'Preset list menu' });
  }

  async setMode(mode) {
    if (mode === this.mode) return;
    await this.exclusive(() => this.run('/api/presets/mode', { mode }));
  }

  // Choosing from the list: before another name replaces unsaved changes,
  // offer to save them; then load it.
  async choose(name) {
    await this.exclusive(async () => {
      const mode = this.mode;
      if (name !== KINDS[mode].current(this.bar) && (await this.offerSave(mode)) === 'cancel') {
        this.reload();  // the list shows the current name again
        return;
      }
      if (await this.run(`${KINDS[mode].api}/choose`, { name })) this.valuesChanged();
    });
  }

  // Offers to keep unsaved changes of `mode` before they are replaced: "Save"
  // (under the current name, or Save As when there is none), "Don't Save" (go on
  // without saving) or "Cancel" (stop: nothing is replaced). Resolves to 'go' or
  // 'cancel'.
  async offerSave(mode) {
    try {
      const bar = await get('/api/presets', { instance: this.instance, page: this.page });
      this.bar = bar;
    } catch { /* go with what is shown */ }
    const kind = KINDS[mode];
    const offer = kind.offer(this.bar);
    if (offer === 'none') return 'go';
    const name = kind.current(this.bar);
    const text = el('p', 'tv-message', offer === 'save' && name
      ? `The ${kind.what} settings have changed since "${name}" was saved.\r\nSave the changes?`
      : `The ${kind.what} settings have unsaved changes.\r\nSave them under a name?`);
    const pressed = await openDialog(kind.save, text, ['Save', "Don't Save", 'Cancel']);
    if (pressed === "Don't Save") return 'go';
    if (pressed !== 'Save') return 'cancel';
    const saved = offer === 'save' && name ? await this.run(`${kind.api}/save`, { name }) : await this.saveAs(mode);
    return saved ? 'go' : 'cancel';
  }

  // "Save": confirms saving under the current name; with no current name it
  // is "Save As".
  async save(mode) {
    const kind = KINDS[mode];
    const name = kind.current(this.bar);
    if (!name) return this.saveAs(mode);
    const text = el('p', 'tv-message', `Save the current ${kind.what} settings as "${name}"?`);
    const pressed = await openDialog(kind.save, text, ['OK', 'Cancel']);
    if (pressed !== 'OK') return false;
    return this.run(`${kind.api}/save`, { name });
  }

  // "Save As": asks for a name (the current one offered); a name already in
  // the list needs the user's Yes to be overwritten.
  async saveAs(mode) {
    const kind = KINDS[mode];
    const name = await askText(kind.saveAs, 'Name', kind.current(this.bar), { maxLength: 4 * MAX_NAME_CHARS });
    if (name === null || name === '') return false;
    if ((await this.namesOf(mode)).includes(name)) {
      const yes = await askYesNo(`"${name}" already exists.\r\nDo you want to overwrite it?`, kind.overwrite);
      if (!yes) return false;
    }
    return this.run(`${kind.api}/save`, { name });
  }

  // The stored names of `mode`'s kind (the list holds only the shown mode's).
  async namesOf(mode) {
    if (mode === this.mode) return this.bar.list || [];
    if (mode === 'dayparts') return [];
    try {
      return (await get('/api/dayparts', { instance: this.instance, page: this.page })).presets || [];
    } catch {
      return [];
    }
  }

  async editNotes() {
    const kind = this.kind;
    const before = kind.notes(this.bar);
    const area = el('textarea', 'tv-pb-notes');
    area.value = before;
    area.maxLength = MAX_NOTES_CHARS;
    area.rows = 14;
    area.cols = 60;
    area.setAttribute('aria-label', 'Notes');
    const pressed = await openDialog(kind.notesTitle, area, ['OK', 'Cancel']);
    if (pressed !== 'OK' || area.value === before) return;
    await this.run(`${kind.api}/notes`, { notes: area.value });
  }

  async editDayparts() {
    const answer = await openDaypartEditor({ instance: this.instance, page: this.page, name: this.bar.current_daypart || '' });
    if (!answer) return;
    this.update(answer);
    // A changed table is offered for saving.
    const offer = answer.daypart_save_offer || 'none';
    if (offer === 'save') await this.save('dayparts');
    else if (offer === 'save_as') await this.saveAs('dayparts');
  }

  async importFile() {
    const mode = this.mode;
    const kind = KINDS[mode];
    if ((await this.offerSave(mode)) === 'cancel') return;
    const file = await openFileDialog({
      title: BAR_TEXT.menu_import, mode: 'open', folder: this.bar.folder || '', extension: kind.extension, filter: kind.importFilter,
    });
    if (!file) return;
    if (await this.run(`${kind.api}/import`, { file })) this.valuesChanged();
  }

  async downloadFile() {
    const kind = KINDS[this.mode];
    const answer = await command(`${kind.api}/download`, this.fields({}));
    if (!answer.ok) return;
    const link = document.createElement('a');
    link.href = URL.createObjectURL(new Blob([answer.content], { type: 'application/octet-stream' }));
    link.download = answer.file_name;
    document.body.append(link);
    link.click();
    link.remove();
    setTimeout(() => URL.revokeObjectURL(link.href), 10000);
  }

  async uploadFile() {
    const mode = this.mode;
    const kind = KINDS[mode];
    if ((await this.offerSave(mode)) === 'cancel') return;
    const picker = document.createElement('input');
    picker.type = 'file';
    picker.accept = `.${kind.extension}`;
    picker.setAttribute('aria-label', 'File to upload');
    const chosen = new Promise((resolve) => {
      picker.addEventListener('change', () => resolve(picker.files?.[0] ?? null), { once: true });
      picker.addEventListener('cancel', () => resolve(null), { once: true });
    });
    picker.hidden = true;
    document.body.append(picker);
    picker.click();
    const file = await chosen;
    picker.remove();
    if (!file) return;
    if (file.size > 4 * 1024 * 1024) {
      await messageBox('The file is too large for a preset file', 'Error');
      return;
    }
    if (await this.run(`${kind.api}/upload`, { file_name: file.name, content: await file.text() })) this.valuesChanged();
  }

  async exportFile() {
    const kind = this.kind;
    const file = await openFileDialog({
      title: BAR_TEXT.menu_export, mode: 'save', folder: this.bar.folder || '', extension: kind.extension, filter: kind.exportFilter,
    });
    if (!file) return;
    await this.run(`${kind.api}/export`, { file });
  }

  async remove() {
    const kind = this.kind;
    const name = this.list.value;
    if (!name) return;
    if (!(await askYesNo(`Delete the ${kind.what} "${name}"?`, kind.deleteTitle))) return;
    await this.run(`${kind.api}/delete`, { name });
  }
}

installStyle('tv-presets-style', `
tv-preset-bar { display: flex; align-items: center; gap: 8px; padding: 4px 8px; min-height: 30px; box-sizing: border-box;
  background: var(--DarkBackground, #2f2f2f); color: var(--TextColor, #fff); border-bottom: 1px solid #0008;
  font: var(--MediumFont, 12px calibri, sans-serif); }
tv-preset-bar .tv-pb-label { color: var(--GrayedTextColor, #c0c0c0); font-size: 11px; text-transform: uppercase; letter-spacing: .05em; }
tv-preset-bar .tv-pb-mode { display: flex; }
tv-preset-bar [hidden] { display: none !important; }
tv-preset-bar .tv-pb-mode-button { font: inherit; font-size: 11px; color: var(--TextColor, #fff); background: var(--Tab_Inactive, #616161);
  border: 1px solid #0007; padding: 3px 9px; cursor: pointer; }
tv-preset-bar .tv-pb-mode-button:first-child { border-radius: 3px 0 0 3px; }
tv-preset-bar .tv-pb-mode-button:last-child { border-radius: 0 3px 3px 0; border-left: none; }
tv-preset-bar .tv-pb-mode-button[aria-pressed="true"] { background: var(--Tab_Active, #206bb7); }
tv-preset-bar .tv-pb-list { font: inherit; min-width: 14em; max-width: 22em; background: var(--Background, #4e4e4e); color: var(--TextColor, #fff);
  border: 1px solid var(--Foreground, #808080); border-radius: 2px; padding: 2px 4px; }
tv-preset-bar .tv-pb-current-box { display: flex; align-items: baseline; gap: 6px; min-width: 10em; }
tv-preset-bar .tv-preset-current { font: var(--TitleFont, bold 13px calibri, sans-serif); color: var(--TextColor, #fff); white-space: nowrap; }
tv-preset-bar .tv-preset-current:empty::before { content: "none"; color: var(--GrayedTextColor, #c0c0c0); font-weight: normal; font-style: italic; }
tv-preset-bar.tv-pb-modified .tv-preset-current { color: var(--Tab_Highlighted, #2ea5de); }
tv-preset-bar .tv-pb-secondary { display: flex; align-items: baseline; gap: 6px; white-space: nowrap; }
tv-preset-bar .tv-pb-secondary-name { color: var(--TextColor, #fff); }
tv-preset-bar .tv-pb-badge { font-size: 10px; text-transform: uppercase; letter-spacing: .06em; padding: 1px 6px; border-radius: 8px;
  background: var(--MeterBarLevel1, #40ff40); color: #000; }
tv-preset-bar .tv-pb-menu-button { margin-left: auto; font: inherit; color: var(--TextColor, #fff); background: var(--Tab_Inactive, #616161);
  border: 1px solid #0007; border-radius: 3px; padding: 3px 10px; cursor: pointer; }
tv-preset-bar .tv-pb-menu-button:hover, tv-preset-bar .tv-pb-mode-button:hover { filter: brightness(1.2); }
tv-preset-bar.tv-locked .tv-pb-list { opacity: .6; }
.tv-pb-notes { font: var(--MediumFont, 12px calibri, sans-serif); width: min(560px, 80vw); box-sizing: border-box; }
`);

if (!customElements.get('tv-preset-bar')) customElements.define('tv-preset-bar', PresetBarElement);
