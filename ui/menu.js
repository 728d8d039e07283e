// The main pop-up menu: draws the menu the server built (GET /api/state "menu")
// below the menu button. Entries: {kind:'item'|'submenu'|'separator', label,
// enabled, checked?, command?, items?}. Items that carry `checked` are toggles
// (role "menuitemcheckbox"). A submenu opens to the side on click or hover.
// Keyboard: arrows move and open/close submenus, Enter/Space runs, Escape closes.
//
// Each menu level is its own element (role="menu") appended to <body>, so an
// entry's accessible name is exactly its label.

export class PopupMenu {
  // onCommand(commandId, entry) runs a chosen item; onClose() follows any close.
  constructor({ onCommand, onClose } = {}) {
    this.onCommand = onCommand || (() => {});
    this.onClose = onClose || (() => {});
    this.anchor = null;
    this.entries = [];
    this.levels = [];  // [{element, entries, parentItem}] root first
    this.onPointerDown = (e) => {
      if (this.levels.some((l) => l.element.contains(e.target))) return;
      if (this.anchor && this.anchor.contains(e.target)) return;
      this.close();
    };
    this.onResize = () => this.close();
  }

  get isOpen() { return this.levels.length > 0; }

  open(anchor, entries) {
    this.close();
    this.anchor = anchor;
    this.entries = entries || [];
    const rect = anchor.getBoundingClientRect();
    this.openLevel(this.entries, null, { left: rect.left, top: rect.bottom + 1 }, 'Menu');
    anchor.setAttribute('aria-expanded', 'true');
    document.addEventListener('pointerdown', this.onPointerDown, true);
    window.addEventListener('resize', this.onResize);
    window.addEventListener('blur', this.onResize);
    this.focusItem(0, 0);
  }

  // Redraws an open menu with new entries, keeping the open submenus open.
  update(entries) {
    if (!this.isOpen) return;
    const path = this.levels.slice(1).map((l) => l.parentItem.dataset.label);
    const focusedLevel = this.levels.findIndex((l) => l.element.contains(document.activeElement));
    const focusedLabel = document.activeElement?.dataset?.label;
    this.closeLevelsFrom(0);
    this.entries = entries || [];
    const rect = this.anchor.getBoundingClientRect();
    this.openLevel(this.entries, null, { left: rect.left, top: rect.bottom + 1 }, 'Menu');
    for (const label of path) {
      const level = this.levels[this.levels.length - 1];
      const item = [...level.element.querySelectorAll('[data-label]')].find((i) => i.dataset.label === label);
      if (!item || item.getAttribute('aria-disabled') === 'true' || !item.hasAttribute('aria-haspopup')) break;
      this.openSubmenu(item);
    }
    if (focusedLevel >= 0 && focusedLevel < this.levels.length) {
      const items = this.itemsOf(focusedLevel);
      const again = items.find((i) => i.dataset.label === focusedLabel);
      (again || items[0])?.focus();
    }
  }

  close() {
    if (!this.isOpen) return;
    this.closeLevelsFrom(0);
    document.removeEventListener('pointerdown', this.onPointerDown, true);
    window.removeEventListener('resize', this.onResize);
    window.removeEventListener('blur', this.onResize);
    this.anchor?.setAttribute('aria-expanded', 'false');
    this.onClose();
  }

  // ---- internals ----

  openLevel(entries, parentItem, position, label) {
    const depth = this.levels.length;
    const menu = document.createElement('div');
    menu.className = 'tv-menu';
    menu.setAttribute('role', 'menu');
    menu.setAttribute('aria-label', label);
    menu.tabIndex = -1;
    for (const entry of tidySeparators(entries)) menu.append(this.renderEntry(entry, depth));
    menu.addEventListener('keydown', (e) => this.onKey(e, depth));
    document.body.append(menu);
    this.levels.push({ element: menu, entries, parentItem });
    this.place(menu, position, parentItem);
    return menu;
  }

  renderEntry(entry, depth) {
    if (entry.kind === 'separator') {
      const line = document.createElement('div');
      line.setAttribute('role', 'separator');
      return line;
    }
    const item = document.createElement('div');
    const toggle = entry.kind === 'item' && typeof entry.checked === 'boolean';
    item.setAttribute('role', toggle ? 'menuitemcheckbox' : 'menuitem');
    if (toggle) item.setAttribute('aria-checked', String(entry.checked));
    item.textContent = entry.label ?? '';
    item.dataset.label = entry.label ?? '';
    item.tabIndex = -1;
    const enabled = entry.enabled !== false;
    if (!enabled) item.setAttribute('aria-disabled', 'true');
    if (entry.kind === 'submenu') {
      item.setAttribute('aria-haspopup', 'menu');
      item.setAttribute('aria-expanded', 'false');
    }
    item._entry = entry;
    item.addEventListener('click', (e) => {
      e.stopPropagation();
      this.activate(item, depth, false);
    });
    item.addEventListener('mouseenter', () => {
      if (entry.kind === 'submenu') {
        if (enabled) this.openSubmenu(item);
        else this.closeLevelsFrom(depth + 1);
      } else {
        this.closeLevelsFrom(depth + 1);
      }
      item.focus({ preventScroll: true });
    });
    return item;
  }

  activate(item, depth, fromKeyboard) {
    const entry = item._entry;
    if (!entry || item.getAttribute('aria-disabled') === 'true') return;
    if (entry.kind === 'submenu') {
      const open = this.levels[depth + 1]?.parentItem === item;
      if (!open) this.openSubmenu(item);
      if (fromKeyboard || !open) this.focusItem(depth + 1, 0);
      return;
    }
    if (!entry.command) return;
    this.close();
    this.anchor?.focus();
    this.onCommand(entry.command, entry);
  }

  openSubmenu(item) {
    const depth = this.levels.findIndex((l) => l.element.contains(item));
    if (depth < 0) return;
    if (this.levels[depth + 1]?.parentItem === item) return;
    this.closeLevelsFrom(depth + 1);
    const rect = item.getBoundingClientRect();
    this.openLevel(item._entry.items || [], item, { left: rect.right - 2, top: rect.top - 4 }, item._entry.label);
    item.setAttribute('aria-expanded', 'true');
  }

  closeLevelsFrom(depth) {
    while (this.levels.length > depth) {
      const level = this.levels.pop();
      level.parentItem?.setAttribute('aria-expanded', 'false');
      level.element.remove();
    }
  }

  place(menu, { left, top }, parentItem) {
    const width = menu.offsetWidth;
    const height = menu.offsetHeight;
    let x = left;
    let y = top;
    if (x + width > window.innerWidth - 2) {
      x = parentItem ? parentItem.getBoundingClientRect().left - width + 2 : window.innerWidth - width - 2;
    }
    if (y + height > window.innerHeight - 2) y = window.innerHeight - height - 2;
    menu.style.left = `${Math.max(2, x)}px`;
    menu.style.top = `${Math.max(2, y)}px`;
  }

  itemsOf(depth) {
    const level = this.levels[depth];
    return level ? [...level.element.querySelectorAll('[role^="menuitem"]')] : [];
  }

  focusItem(depth, index) {
    const items = this.itemsOf(depth);
    if (!items.length) {
      this.levels[depth]?.element.focus();
      return;
    }
    // Start on the first enabled entry where there is one.
    let i = index;
    if (index === 0) {
      const enabled = items.findIndex((it) => it.getAttribute('aria-disabled') !== 'true');
      if (enabled >= 0) i = enabled;
    }
    items[Math.max(0, Math.min(items.length - 1, i))].focus({ preventScroll: true });
  }

  onKey(e, depth) {
    const items = this.itemsOf(depth);
    const current = items.indexOf(document.activeElement);
    const move = (delta) => {
      if (!items.length) return;
      const next = current < 0 ? (delta > 0 ? 0 : items.length - 1) : (current + delta + items.length) % items.length;
      items[next].focus({ preventScroll: true });
    };
    switch (e.key) {
      case 'ArrowDown': move(1); break;
      case 'ArrowUp': move(-1); break;
      case 'Home': items[0]?.focus(); break;
      case 'End': items[items.length - 1]?.focus(); break;
      case 'ArrowRight': {
        const item = items[current];
        if (item?.hasAttribute('aria-haspopup')) this.activate(item, depth, true);
        break;
      }
      case 'ArrowLeft':
        if (depth > 0) {
          const parent = this.levels[depth].parentItem;
          this.closeLevelsFrom(depth);
          parent.focus();
        }
        break;
      case 'Escape':
        if (depth > 0) {
          const parent = this.levels[depth].parentItem;
          this.closeLevelsFrom(depth);
          parent.focus();
        } else {
          this.close();
          this.anchor?.focus();
        }
        break;
      case 'Enter':
      case ' ':
        if (items[current]) this.activate(items[current], depth, true);
        break;
      case 'Tab':
        this.close();
        break;
      default:
        return;
    }
    e.preventDefault();
    e.stopPropagation();
  }
}

// Separators only between entries: none first, last or twice in a row (the
// separator before the module entry stays out when there is no module entry).
function tidySeparators(entries) {
  const out = [];
  for (const entry of entries) {
    if (entry.kind === 'separator' && (!out.length || out[out.length - 1].kind === 'separator')) continue;
    out.push(entry);
  }
  while (out.length && out[out.length - 1].kind === 'separator') out.pop();
  return out;
}
