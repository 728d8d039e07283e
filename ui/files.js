// The file dialog for imports and exports. The files live where the program
// runs, so the dialog browses the server's file system (GET /api/files) and
// hands back an absolute path on that machine.
import { get } from './api.js';
import { openDialog, messageBox } from './dialog.js';
import { installStyle } from './widgets.js';

function el(tag, className, text) {
  const e = document.createElement(tag);
  if (className) e.className = className;
  if (text !== undefined) e.textContent = text;
  return e;
}

function joinPath(dir, name) {
  if (name.startsWith('/')) return name;
  return dir.endsWith('/') ? dir + name : `${dir}/${name}`;
}

function hasExtension(name) {
  const base = name.slice(name.lastIndexOf('/') + 1);
  const dot = base.lastIndexOf('.');
  return dot > 0 && dot < base.length - 1;
}

function sizeText(bytes) {
  if (typeof bytes !== 'number') return '';
  if (bytes < 1024) return `${bytes} B`;
  if (bytes < 1024 * 1024) return `${(bytes / 1024).toFixed(1)} KB`;
  return `${(bytes / 1024 / 1024).toFixed(1)} MB`;
}

// Opens the dialog. `mode` 'open' or 'save'; `folder` where it starts (the
// user's home when empty or unreadable); `extension` without its dot, appended
// to a typed name that has none; `filter` the label of the file type list
// (for example "Preset Files(fmt4)"), which shows only files with the
// extension unless "All Files" is chosen. Resolves to an absolute path or null.
export async function openFileDialog({ title, mode = 'open', folder = '', extension = '', filter = '' } = {}) {
  const body = el('div', 'tv-files');
  const folderRow = el('div', 'tv-files-folder-row');
  const folderLabel = el('span', 'tv-files-folder-label', 'Folder');
  folderLabel.id = `tv-files-folder-${Math.random().toString(36).slice(2)}`;
  const folderText = el('output', 'tv-files-folder');
  folderText.setAttribute('aria-labelledby', folderLabel.id);
  const up = el('button', 'tv-files-up', 'Up');
  up.type = 'button';
  up.setAttribute('aria-label', 'Up one folder');
  folderRow.append(folderLabel, folderText, up);

  const list = el('div', 'tv-files-list');
  list.setAttribute('role', 'group');
  list.setAttribute('aria-label', 'Files');

  const nameRow = el('label', 'tv-files-name-row');
  nameRow.append(el('span', '', 'File name'));
  const nameInput = el('input');
  nameInput.type = 'text';
  nameInput.setAttribute('aria-label', 'File name');
  nameInput.spellcheck = false;
  nameRow.append(nameInput);

  const typeRow = el('label', 'tv-files-type-row');
  typeRow.append(el('span', '', 'Files of type'));
  const typeSelect = el('select');
  typeSelect.setAttribute('aria-label', 'Files of type');
  if (extension) typeSelect.append(new Option(filter || `${extension.toUpperCase()} Files(${extension})`, 'ext'));
  typeSelect.append(new Option('All Files', 'all'));
  typeRow.append(typeSelect);

  body.append(folderRow, list, nameRow, typeRow);

  let current = { dir: '', parent: null, entries: [] };

  function matches(entry) {
    if (entry.dir || typeSelect.value === 'all' || !extension) return true;
    return entry.name.toLowerCase().endsWith(`.${extension.toLowerCase()}`);
  }

  function draw() {
    // The read-out keeps the end of a long path in view (right to left
    // overflow) while the path itself reads left to right.
    const path = el('bdi', '', current.dir);
    path.dir = 'ltr';
    folderText.replaceChildren(path);
    up.disabled = !current.parent;
    list.replaceChildren();
    const shown = current.entries.filter(matches);
    if (!shown.length) list.append(el('div', 'tv-files-none', 'No files here'));
    for (const entry of shown) {
      const button = el('button', entry.dir ? 'tv-files-entry tv-files-dir' : 'tv-files-entry');
      button.type = 'button';
      const label = entry.dir ? `${entry.name}/` : entry.name;
      button.append(el('span', 'tv-files-entry-name', label));
      if (!entry.dir) button.append(el('span', 'tv-files-entry-size', sizeText(entry.size)));
      button.setAttribute('aria-label', label);
      button.addEventListener('click', () => {
        if (entry.dir) browse(joinPath(current.dir, entry.name));
        else {
          nameInput.value = entry.name;
          for (const b of list.querySelectorAll('.tv-files-entry')) b.setAttribute('aria-pressed', String(b === button));
        }
      });
      if (!entry.dir) button.addEventListener('dblclick', () => { nameInput.value = entry.name; accept(); });
      list.append(button);
    }
  }

  async function browse(dir) {
    try {
      current = await get('/api/files', dir ? { dir } : {});
    } catch (error) {
      // An unreadable starting folder falls back to the home folder.
      if (dir && !current.dir) return browse('');
      await messageBox(error.body?.message || error.message, error.body?.title || title);
      return;
    }
    draw();
  }

  up.addEventListener('click', () => { if (current.parent) browse(current.parent); });
  typeSelect.addEventListener('change', draw);

  let result = null;
  let dialogElement = null;
  // The chosen path, or null when the name names a folder (which is then
  // opened) or is empty.
  function resolveName() {
    let name = nameInput.value.trim();
    if (!name) return null;
    if (name.endsWith('/')) {
      browse(joinPath(current.dir, name.replace(/\/+$/, '') || '/'));
      nameInput.value = '';
      return null;
    }
    const folderEntry = current.entries.find((e) => e.dir && e.name === name);
    if (folderEntry) {
      browse(joinPath(current.dir, name));
      nameInput.value = '';
      return null;
    }
    if (extension && !hasExtension(name)) {
      // A name without an extension gets the default one, unless a file of
      // exactly that name is there to open.
      const exact = mode === 'open' && current.entries.some((e) => !e.dir && e.name === name);
      if (!exact) name = `${name}.${extension}`;
    }
    return joinPath(current.dir, name);
  }
  function accept() {
    dialogElement?.querySelector('.tv-dialog-buttons button')?.click();
  }
  nameInput.addEventListener('keydown', (e) => {
    if (e.key === 'Enter') { e.preventDefault(); accept(); }
  });

  await browse(folder);
  const okLabel = mode === 'save' ? 'Save' : 'Open';
  const pressed = await openDialog(title, body, [okLabel, 'Cancel'], {
    className: 'tv-file-dialog',
    onButton: (label, dialog) => {
      dialogElement = dialog;
      if (label !== okLabel) return true;
      result = resolveName();
      return result !== null;
    },
  });
  dialogElement = null;
  return pressed === okLabel ? result : null;
}

installStyle('tv-files-style', `
.tv-file-dialog .tv-files { display: flex; flex-direction: column; gap: 6px; width: min(560px, 80vw); }
.tv-files-folder-row { display: flex; gap: 6px; align-items: center; }
.tv-files-folder-label { color: var(--GrayedTextColor, #c0c0c0); }
.tv-files-folder { flex: 1; font-family: ui-monospace, monospace; font-size: 12px; background: var(--MeterBackground, #000);
  padding: 3px 6px; border: 1px solid #0008; overflow: hidden; text-overflow: ellipsis; white-space: nowrap; direction: rtl; text-align: left; }
.tv-files-list { height: 260px; overflow-y: auto; display: flex; flex-direction: column; background: var(--DarkBackground, #2f2f2f);
  border: 1px solid var(--Foreground, #808080); padding: 2px; }
.tv-files-entry { display: flex; justify-content: space-between; gap: 12px; text-align: left; font: inherit; color: var(--TextColor, #fff);
  background: none; border: none; padding: 2px 6px; cursor: pointer; }
.tv-files-entry:hover { background: #ffffff18; }
.tv-files-entry[aria-pressed="true"] { background: var(--Tab_Active, #206bb7); }
.tv-files-dir .tv-files-entry-name { color: var(--Tab_Highlighted, #2ea5de); }
.tv-files-entry-size { color: var(--GrayedTextColor, #c0c0c0); font-variant-numeric: tabular-nums; }
.tv-files-none { color: var(--GrayedTextColor, #c0c0c0); padding: 6px; }
.tv-files-name-row, .tv-files-type-row { display: grid; grid-template-columns: 7em 1fr; align-items: center; gap: 6px; }
.tv-files-name-row input, .tv-files-type-row select { font: inherit; }
`);
