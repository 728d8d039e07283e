// <tv-player-page>: the Player page. Four decks in play order, each with its state
// word in the state's colour, the title, the position bar (a click on a PLAYING
// deck's bar seeks), the information line and "Clear"; "Play" and "Stop"; the
// playlist with "File" (the server-side file dialog), moving and deleting entries,
// "Delete List" and "Delete All". Also the "Player Settings" dialog
// (openPlayerSettings), opened from the page's menu.
//
// The decks move without commands (positions, items ending), so the page reads
// GET /api/player every 300 ms while it is shown.

import { get, command } from './api.js';
import { openDialog } from './dialog.js';
import { openFileDialog } from './files.js';

const POLL_MS = 300;

function el(tag, className, text) {
  const e = document.createElement(tag);
  if (className) e.className = className;
  if (text !== undefined) e.textContent = text;
  return e;
}

function button(label, onClick, aria) {
  const b = el('button', '', label);
  b.type = 'button';
  if (aria) b.setAttribute('aria-label', aria);
  b.addEventListener('click', onClick);
  return b;
}

const STYLE = `
tv-player-page { display: flex; flex-direction: column; gap: 8px; padding: 8px; color: var(--TextColor, #ddd); }
tv-player-page .tv-player-bar { display: flex; gap: 8px; align-items: center; }
tv-player-page .tv-player-status { margin-left: 12px; }
tv-player-page .tv-deck { display: grid; grid-template-columns: 90px 1fr 80px; gap: 2px 8px; align-items: center;
  background: var(--DarkBackground, #222); padding: 4px 6px; min-height: 46px; }
tv-player-page .tv-deck-state { font-weight: bold; }
tv-player-page .tv-deck-title { overflow: hidden; white-space: nowrap; text-overflow: ellipsis; }
tv-player-page .tv-deck-bar { grid-column: 1 / 3; height: 10px; background: var(--ProgressBk, #444); cursor: pointer; position: relative; }
tv-player-page .tv-deck-fill { position: absolute; left: 0; top: 0; bottom: 0; background: var(--Progress, #4a4); }
tv-player-page .tv-deck-info { grid-column: 1 / 4; font-family: monospace; white-space: pre; }
tv-player-page .tv-playlist { list-style: none; margin: 0; padding: 0; max-height: 40vh; overflow-y: auto;
  background: var(--DarkBackground, #222); }
tv-player-page .tv-playlist li { display: flex; gap: 6px; align-items: center; padding: 1px 4px; }
tv-player-page .tv-playlist li[aria-current="true"] { background: var(--Tab_Highlighted, #355); }
tv-player-page .tv-playlist li span { flex: 1; overflow: hidden; white-space: nowrap; text-overflow: ellipsis; }
`;

function installStyle() {
  if (document.getElementById('tv-player-style')) return;
  const style = document.createElement('style');
  style.id = 'tv-player-style';
  style.textContent = STYLE;
  document.head.append(style);
}

export class PlayerPage extends HTMLElement {
  constructor() {
    super();
    this.instance = null;
    this.model = null;
    this.timer = 0;
    this.decks = [];
    this.playlistKey = '';
  }

  disconnectedCallback() {
    clearTimeout(this.timer);
    this.timer = 0;
    this.instance = null;
  }

  async setup(pageModel) {
    installStyle();
    this.instance = pageModel.instance;
    this.build();
    await this.refresh();
  }

  build() {
    const bar = el('div', 'tv-player-bar');
    bar.setAttribute('role', 'toolbar');
    bar.setAttribute('aria-label', 'Player');
    this.playButton = button('Play', () => this.send('/api/player/play'));
    this.stopButton = button('Stop', () => this.send('/api/player/stop'));
    this.statusLine = el('span', 'tv-player-status');
    this.statusLine.setAttribute('role', 'status');
    bar.append(this.playButton, this.stopButton, this.statusLine);

    const deckBox = el('div', 'tv-decks');
    this.decks = [];
    for (let i = 0; i < 4; i += 1) {
      const row = el('section', 'tv-deck');
      const state = el('span', 'tv-deck-state');
      const title = el('span', 'tv-deck-title');
      const clear = button('Clear', () => this.send('/api/player/clear', { deck: row.dataset.deck }));
      const progress = el('div', 'tv-deck-bar');
      progress.setAttribute('role', 'progressbar');
      progress.setAttribute('aria-valuemin', '0');
      progress.setAttribute('aria-valuemax', '100');
      const fill = el('div', 'tv-deck-fill');
      progress.append(fill);
      progress.addEventListener('click', (e) => {
        if (row.dataset.word !== 'PLAYING') return;  // only a playing deck seeks
        const box = progress.getBoundingClientRect();
        const fraction = Math.min(1, Math.max(0, (e.clientX - box.left) / box.width));
        this.send('/api/player/seek', { deck: row.dataset.deck, fraction: fraction.toFixed(4) });
      });
      const info = el('span', 'tv-deck-info');
      row.append(state, title, clear, progress, info);
      deckBox.append(row);
      this.decks.push({ row, state, title, clear, progress, fill, info });
    }

    this.listBox = el('section', 'tv-playlist-box');
    this.listBox.setAttribute('aria-label', 'Playlist');
    const listBar = el('div', 'tv-player-bar');
    this.fileButton = button('File', () => this.addFiles());
    this.deleteListButton = button('Delete List', () => this.send('/api/playlist/delete_list'));
    this.deleteAllButton = button('Delete All', () => this.send('/api/playlist/delete_all'));
    listBar.append(this.fileButton, this.deleteListButton, this.deleteAllButton);
    this.list = el('ol', 'tv-playlist');
    this.list.setAttribute('aria-label', 'Playlist entries');
    this.listBox.append(listBar, this.list);

    this.replaceChildren(bar, deckBox, this.listBox);
  }

  async send(path, fields = {}) {
    await command(path, { instance: this.instance, ...fields });
    await this.refresh();
  }

  async refresh() {
    clearTimeout(this.timer);
    const instance = this.instance;
    if (instance === null) return;
    try {
      const model = await get('/api/player', { instance });
      if (instance !== this.instance) return;
      this.model = model;
      this.draw(model);
    } catch (error) {
      if (this.statusLine) this.statusLine.textContent = error?.body?.message || String(error?.message || error);
    }
    if (this.isConnected && this.instance !== null) this.timer = setTimeout(() => this.refresh(), POLL_MS);
  }

  draw(m) {
    this.playButton.disabled = !m.buttons_active;
    this.stopButton.disabled = !m.buttons_active;
    this.playButton.setAttribute('aria-pressed', String(!!m.play));
    this.stopButton.setAttribute('aria-pressed', String(!m.play));
    this.statusLine.textContent = m.status || '';
    m.decks.forEach((d, i) => {
      const v = this.decks[i];
      v.row.dataset.deck = String(d.deck);
      v.row.dataset.word = d.word;
      v.row.setAttribute('aria-label', `Deck ${d.deck + 1}`);
      v.state.textContent = d.word;
      v.state.style.color = d.colour;
      v.title.textContent = d.title;
      v.info.textContent = d.information;
      const percent = Math.round(Math.min(1, Math.max(0, d.position)) * 1000) / 10;
      v.fill.style.width = `${percent}%`;
      v.progress.setAttribute('aria-valuenow', String(percent));
      v.progress.setAttribute('aria-label', `Position of deck ${d.deck + 1}`);
      v.clear.setAttribute('aria-label', `Clear deck ${d.deck + 1}`);
    });
    this.listBox.hidden = !!m.list_hidden;
    this.fileButton.disabled = !!m.list_hidden;
    const editable = m.mode <= 1;
    this.deleteListButton.disabled = !editable;
    this.deleteAllButton.disabled = !editable;
    const key = JSON.stringify([m.playlist, m.mode === 0 ? 0 : m.cursor]);
    if (key !== this.playlistKey) {
      this.playlistKey = key;
      this.drawList(m);
    }
  }

  drawList(m) {
    const selected = m.mode === 0 ? 0 : m.cursor;
    const count = m.playlist.length;
    const rows = m.playlist.map((entry, i) => {
      const li = el('li');
      li.setAttribute('aria-label', entry.text);
      if (i === selected) li.setAttribute('aria-current', 'true');
      li.title = entry.path;
      const up = button('▲', () => this.send('/api/playlist/move', { from: i, to: i - 1 }), `Move ${entry.text} up`);
      up.disabled = i === 0;
      const down = button('▼', () => this.send('/api/playlist/move', { from: i, to: i + 1 }), `Move ${entry.text} down`);
      down.disabled = i === count - 1;
      const del = button('Delete', () => this.send('/api/playlist/delete', { index: i }), `Delete ${entry.text}`);
      li.append(el('span', '', entry.text), up, down, del);
      return li;
    });
    this.list.replaceChildren(...rows);
  }

  // "File": each file chosen is appended at once; the dialog opens again in the
  // same folder for the next one until it is cancelled.
  async addFiles() {
    let folder = this.model?.music_path || '';
    for (;;) {
      const file = await openFileDialog({ title: 'Open', mode: 'open', folder, filter: 'Sound Files(wav,ogg,mp3,flac)' });
      if (!file) break;
      const answer = await command('/api/playlist/add', { instance: this.instance, file });
      await this.refresh();
      if (!answer.ok) break;
      folder = file.slice(0, file.lastIndexOf('/')) || '/';
    }
  }
}

// The "Player Settings" dialog: the six modes as radio buttons; "Apply" sends the
// chosen mode when it differs from the current one, "Cancel" leaves everything.
// The rotation modes cannot be chosen while no rotation exists.
export async function openPlayerSettings(instance) {
  const m = await get('/api/player', { instance });
  const box = el('fieldset', 'tv-player-modes');
  box.append(el('legend', '', 'Player mode'));
  const noRotations = !m.rotations.length;
  const radios = m.modes.map((text, i) => {
    const label = el('label', 'tv-field');
    const radio = el('input');
    radio.type = 'radio';
    radio.name = 'tv-player-mode';
    radio.value = String(i);
    radio.checked = i === m.dialog_mode;
    radio.disabled = noRotations && (i === 2 || i === 4);
    label.append(radio, ` ${text}`);
    box.append(label, el('br'));
    return radio;
  });
  const pressed = await openDialog('Player Settings', box, ['Apply', 'Cancel']);
  if (pressed !== 'Apply') return;
  const chosen = radios.findIndex((r) => r.checked);
  if (chosen >= 0 && chosen !== m.mode) await command('/api/player/mode', { instance, mode: chosen });
}

if (!customElements.get('tv-player-page')) customElements.define('tv-player-page', PlayerPage);

// ---- Rotations ----

const RESET_QUESTION = 'This operation will reset the running weights\r\nDo you want to continue?';
const ELIM_DUPS_QUESTION = 'This operation will remove duplicate entries in the playlist\r\n'
  + 'Large playlists may take some time to complete\rznDo you wish to proceed';
const MAX_FILES = 'Maximum of files has been reached';
const MAX_ROTATION_FILES = 50;

function fileName(p) {
  return p.slice(p.lastIndexOf('/') + 1) || p;
}

// "Rotation settings": the rotations by name with "New", "Rename", "Edit",
// "Delete", "Reset" and "Close". Rename, Edit and Delete need a selection.
export async function openRotationSettings(instance) {
  const { askText, askYesNo } = await import('./dialog.js');
  const body = el('div', 'tv-rotations');
  const list = el('select', 'tv-rotation-list');
  list.size = 10;
  list.setAttribute('aria-label', 'Rotations');
  list.style.minWidth = '260px';
  body.append(list);
  let model = null;
  const reload = async () => {
    model = await get('/api/player', { instance });
    const chosen = list.value;
    list.replaceChildren(...model.rotations.map((r, i) => new Option(r.name, String(i))));
    if (chosen && Number(chosen) < model.rotations.length) list.value = chosen;
    enable();
  };
  let dialogNode = null;
  const enable = () => {
    if (!dialogNode) return;
    const selected = list.selectedIndex >= 0;
    for (const b of dialogNode.querySelectorAll('.tv-dialog-buttons button')) {
      if (['Rename', 'Edit', 'Delete'].includes(b.textContent)) b.disabled = !selected;
      if (b.textContent === 'New') b.disabled = model && model.rotations.length >= 20;
    }
  };
  list.addEventListener('change', enable);
  await reload();
  const shown = openDialog('Rotation settings', body, ['New', 'Rename', 'Edit', 'Delete', 'Reset', 'Close'], {
    onButton: async (label) => {
      const index = list.selectedIndex;
      if (label === 'Close') return true;
      if (label === 'New') {
        const name = await askText('New', 'Name', '', { maxLength: 63 });
        if (name) await command('/api/rotation/new', { instance, name });
      } else if (label === 'Rename' && index >= 0) {
        const name = await askText('Rename', 'Name', model.rotations[index].name, { maxLength: 63 });
        if (name) await command('/api/rotation/rename', { instance, index, name });
      } else if (label === 'Edit' && index >= 0) {
        await openRotationEditor(instance, index, model.rotations[index]);
      } else if (label === 'Delete' && index >= 0) {
        await command('/api/rotation/delete', { instance, index });
      } else if (label === 'Reset') {
        if (await askYesNo(RESET_QUESTION, 'Warning')) await command('/api/rotation/reset', { instance });
      }
      await reload();
      return false;
    },
  });
  dialogNode = body.closest('dialog');
  enable();
  await shown;
}

// The rotation editor: its files (added through the file dialog, moved, deleted,
// "Delete All", "Elim Dups"), "Playlist weight" 1-10 and "Enable"; "Apply" stores
// them (the content only when it was changed), "Cancel" changes nothing.
async function openRotationEditor(instance, index, rotation) {
  const { askYesNo, messageBox } = await import('./dialog.js');
  let paths = [...rotation.paths];
  let changed = false;
  const body = el('div', 'tv-rotation-editor');
  const list = el('ol', 'tv-playlist');
  list.setAttribute('aria-label', 'Rotation entries');
  const draw = () => {
    list.replaceChildren(...paths.map((p, i) => {
      const li = el('li');
      const name = fileName(p);
      li.setAttribute('aria-label', name);
      li.title = p;
      const move = (to) => {
        const [item] = paths.splice(i, 1);
        paths.splice(to, 0, item);
        changed = true;
        draw();
      };
      const up = button('▲', () => move(i - 1), `Move ${name} up`);
      up.disabled = i === 0;
      const down = button('▼', () => move(i + 1), `Move ${name} down`);
      down.disabled = i === paths.length - 1;
      const del = button('Delete', () => { paths.splice(i, 1); changed = true; draw(); }, `Delete ${name}`);
      li.append(el('span', '', name), up, down, del);
      return li;
    }));
  };
  const tools = el('div', 'tv-player-bar');
  tools.append(
    button('File', async () => {
      for (;;) {
        const file = await openFileDialog({ title: 'Open', mode: 'open', filter: 'Sound Files(wav,ogg,mp3,flac)' });
        if (!file) break;
        if (paths.length >= MAX_ROTATION_FILES) {
          await messageBox(MAX_FILES, 'Warning');
          break;
        }
        paths.push(file);
        changed = true;
        draw();
      }
    }),
    button('Elim Dups', async () => {
      if (!(await askYesNo(ELIM_DUPS_QUESTION, 'Warning'))) return;
      const kept = paths.filter((p, i) => paths.indexOf(p) === i);
      if (kept.length !== paths.length) { paths = kept; changed = true; draw(); }
    }),
    button('Delete All', () => { paths = []; changed = true; draw(); }),
  );
  const weights = el('fieldset', 'tv-rotation-weight');
  weights.append(el('legend', '', 'Playlist weight'));
  const radios = [];
  for (let w = 1; w <= 10; w += 1) {
    const label = el('label');
    const radio = el('input');
    radio.type = 'radio';
    radio.name = 'tv-rotation-weight';
    radio.value = String(w);
    radio.checked = w === rotation.weight;
    label.append(radio, ` ${w} `);
    weights.append(label);
    radios.push(radio);
  }
  const enableLabel = el('label');
  const enable = el('input');
  enable.type = 'checkbox';
  enable.checked = !!rotation.enable;
  enableLabel.append(enable, ' Enable');
  body.append(tools, list, weights, enableLabel);
  draw();
  await openDialog(rotation.name, body, ['Apply', 'Cancel'], {
    onButton: async (label) => {
      if (label !== 'Apply') return true;
      const weight = radios.find((r) => r.checked)?.value || String(rotation.weight);
      const fields = { instance, index, weight, enable: enable.checked ? '1' : '0' };
      if (changed) Object.assign(fields, { replace: '1', paths: paths.map((p) => `${p}\n`).join('') });
      const answer = await command('/api/rotation/apply', fields);
      return !!answer.ok;
    },
  });
}

// "Weighting": each rotation's running and normalized weight with four decimals,
// redrawn every second while open.
export async function openRotationWeights(instance) {
  const body = el('div', 'tv-weights');
  let timer = 0;
  const draw = async () => {
    try {
      const m = await get('/api/player', { instance });
      const lines = [];
      for (const r of m.rotations) {
        lines.push(el('div', '', r.name));
        if (Number.isFinite(r.running_weight)) lines.push(el('div', '', `Running weight :  ${r.running_weight.toFixed(4)}`));
        if (Number.isFinite(r.normalized_weight)) lines.push(el('div', '', `Normalized  weight :  ${r.normalized_weight.toFixed(4)}`));
      }
      body.replaceChildren(...lines);
    } catch { /* shown again on the next tick */ }
    if (body.isConnected) timer = setTimeout(draw, 1000);
  };
  const shown = openDialog('Weighting', body, ['Close']);
  await draw();
  await shown;
  clearTimeout(timer);
}
