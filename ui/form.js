// Form pieces shared by the settings dialogs (sound card, link, streams): a labelled
// field, inputs, selects, check boxes, radio groups, buttons and read-outs. Every
// control carries its label as its accessible name.

// A label around `control`, named `label`.
export function field(label, control) {
  const wrap = document.createElement('label');
  wrap.className = 'tv-field';
  wrap.append(label, control);
  control.setAttribute('aria-label', label);
  return wrap;
}

// An <input> of `type` holding `value` (checked for a check box).
export function input(type, value) {
  const i = document.createElement('input');
  i.type = type;
  if (type === 'checkbox') i.checked = !!value;
  else i.value = value ?? '';
  return i;
}

// A <select> of [value, text] options with `value` chosen.
export function select(options, value) {
  const s = document.createElement('select');
  for (const [v, text] of options) {
    const o = document.createElement('option');
    o.value = String(v);
    o.textContent = text;
    s.append(o);
  }
  s.value = String(value);
  return s;
}

// A check box with its label after it; returns the label and the box.
export function check(label, value) {
  const box = input('checkbox', value);
  const wrap = document.createElement('label');
  wrap.className = 'tv-check';
  wrap.append(box, ` ${label}`);
  box.setAttribute('aria-label', label);
  return { wrap, box };
}

// A group of radio buttons from [value, text] choices; returns the fieldset, the
// buttons, the chosen value and a way to choose one.
export function radios(name, choices, value) {
  const set = document.createElement('fieldset');
  set.className = 'tv-radios';
  const buttons = [];
  for (const [v, text] of choices) {
    const label = document.createElement('label');
    const radio = document.createElement('input');
    radio.type = 'radio';
    radio.name = name;
    radio.value = String(v);
    radio.checked = String(v) === String(value);
    radio.setAttribute('aria-label', text);
    label.append(radio, ` ${text}`);
    set.append(label);
    buttons.push(radio);
  }
  return {
    set,
    buttons,
    get value() { return buttons.find((b) => b.checked)?.value; },
    select(v) { for (const b of buttons) b.checked = b.value === String(v); },
  };
}

export function button(text, onClick) {
  const b = document.createElement('button');
  b.type = 'button';
  b.textContent = text;
  b.addEventListener('click', onClick);
  return b;
}

// A one-line read-out.
export function readOut(text) {
  const p = document.createElement('p');
  p.className = 'tv-readout';
  p.textContent = text || '';
  return p;
}
