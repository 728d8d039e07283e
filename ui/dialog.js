// Modal dialogs: the message boxes of the program (text and title as the server
// gives them, CR LF as line breaks) and a builder for dialogs with fields.
// Each dialog is a <dialog> element whose heading is its title, so it reads and
// tests like a window of its own.

function lines(text) {
  const fragment = document.createDocumentFragment();
  String(text ?? '').split(/\r?\n/).forEach((line, i) => {
    if (i) fragment.append(document.createElement('br'));
    fragment.append(line);
  });
  return fragment;
}

// Opens a modal dialog titled `title` with `body` (a node) and `buttons`
// (labels). Resolves to the label pressed, or null when closed with Escape.
// `onButton(label, dialog)` may return false to keep the dialog open.
export function openDialog(title, body, buttons = ['OK'], { onButton, className } = {}) {
  return new Promise((resolve) => {
    const dialog = document.createElement('dialog');
    dialog.className = 'tv-dialog' + (className ? ` ${className}` : '');
    dialog.setAttribute('aria-label', title);
    const heading = document.createElement('h2');
    heading.className = 'tv-dialog-title';
    heading.textContent = title;
    const content = document.createElement('div');
    content.className = 'tv-dialog-body';
    if (body) content.append(body);
    const row = document.createElement('div');
    row.className = 'tv-dialog-buttons';
    let result = null;
    for (const label of buttons) {
      const button = document.createElement('button');
      button.type = 'button';
      button.textContent = label;
      button.addEventListener('click', async () => {
        if (onButton && (await onButton(label, dialog)) === false) return;
        result = label;
        dialog.close();
      });
      row.append(button);
    }
    dialog.append(heading, content, row);
    dialog.addEventListener('close', () => {
      dialog.remove();
      resolve(result);
    });
    document.body.append(dialog);
    dialog.showModal();
    const first = content.querySelector('input, select, textarea') || row.querySelector('button');
    first?.focus();
  });
}

export async function messageBox(text, title = 'Error') {
  const p = document.createElement('p');
  p.className = 'tv-message';
  p.append(lines(text));
  await openDialog(title, p, ['OK']);
}

export async function askYesNo(text, title) {
  const p = document.createElement('p');
  p.className = 'tv-message';
  p.append(lines(text));
  return (await openDialog(title, p, ['Yes', 'No'])) === 'Yes';
}

// A one-line text entry. Resolves to the text, or null on Cancel.
export async function askText(title, label, initial = '', { maxLength = 63, type = 'text' } = {}) {
  const wrap = document.createElement('label');
  wrap.className = 'tv-field';
  wrap.append(label);
  const input = document.createElement('input');
  input.type = type;
  input.value = initial;
  input.maxLength = maxLength;
  input.setAttribute('aria-label', label);
  wrap.append(input);
  input.addEventListener('keydown', (e) => {
    if (e.key === 'Enter') { e.preventDefault(); input.closest('dialog').querySelector('.tv-dialog-buttons button').click(); }
  });
  const pressed = await openDialog(title, wrap, ['OK', 'Cancel']);
  return pressed === 'OK' ? input.value : null;
}
