// The control window and the preset bar in a real browser against a real
// torvalen: every widget kind posts what it shows and shows what the program
// read back (slider, list switch, frequency control with its remembered
// ranges, delay control), the default commands of the right-click menu, the
// no-room warning, locked widgets, and the preset bar's questions (Overwrite,
// Save before another preset replaces changes), notes and the day-part editor.
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import {
  Torvalen, launchBrowser, openMain, selectPage, waitFor, dialog, pressButton, takeMessage, pagePost, screenshot,
  answerYesNo,
} from './harness.mjs';

let server;
let browser;
let page;
let instance;
const PROCESSOR = 3;
const SOUND_OUT = 4;

before(async () => {
  server = await new Torvalen({ name: 'controls' }).start();
  browser = await launchBrowser();
  page = await openMain(browser, server);
  instance = (await server.state()).current;
});

after(async () => {
  await browser?.close();
  await server?.stop();
});

const controlWindow = () => page.locator('tv-control-window');
const bar = () => page.locator('tv-preset-bar[role="toolbar"][aria-label="Preset bar"]');
const currentName = async () => (await bar().locator('.tv-preset-current').textContent()).trim();
async function values(pageIndex = PROCESSOR) {
  return (await server.get('/api/values', { instance, page: pageIndex })).body.values;
}
async function model(pageIndex) {
  return (await server.get('/api/page', { instance, page: pageIndex })).body;
}
function group(m, label) {
  for (const p of m.controls.pages) for (const g of p.groups) if (g.label === label) return { page: p, group: g };
  throw new Error(`no group ${label}`);
}
async function openGroup(m, label) {
  const { page: p } = group(m, label);
  const cw = controlWindow();
  await cw.locator(`[aria-label="Pages of ${m.module}"]`).getByRole('button', { name: p.label, exact: true }).click();
  await cw.locator('[aria-label="Groups"]').getByRole('button', { name: label, exact: true }).click();
  const section = cw.locator(`section.tv-group[aria-label="${label}"]`);
  await section.waitFor();
  return section;
}
async function presetMenu(label, role = 'menuitem') {
  await bar().getByRole('button', { name: 'Preset menu', exact: true }).click();
  const entry = page.getByRole('menu').last().getByRole(role, { name: label, exact: true });
  assert.notEqual(await entry.getAttribute('aria-disabled'), 'true', `"${label}" is offered`);
  await entry.click();
}
async function saveAs(title, name) {
  await presetMenu('Save As');
  const d = dialog(page, title);
  await d.getByRole('textbox').fill(name);
  await pressButton(d, 'OK');
}

test('slider and list switch post their values and show the read-back', async () => {
  await selectPage(page, 'Processor');
  const m = await model(PROCESSOR);
  const failsafe = group(m, 'Failsafe').group;
  const [list, slider] = failsafe.controls;
  const section = await openGroup(m, 'Failsafe');
  assert.equal(await section.evaluate((s) => s.style.width), `${failsafe.width_px}px`);

  // A list switch's label is its item list: it is named, and captioned, by its group.
  const switchBox = section.getByRole('combobox', { name: 'Failsafe', exact: true });
  assert.equal(await switchBox.getAttribute('title'), list.label.split('\n').filter(Boolean).join(' / '));
  assert.equal(await section.locator(`[data-index="${list.index}"] .tv-control-label`).innerText(), 'Failsafe');
  await switchBox.selectOption('1');
  await waitFor(async () => (await values())[list.index] === 1, 'the list switch set to its second item');

  const input = section.getByRole('slider', { name: slider.label, exact: true });
  const before = (await values())[slider.index];
  await input.focus();
  await page.keyboard.press('ArrowUp');
  await page.keyboard.press('ArrowUp');
  const expected = Math.min(slider.max, before + 2 * slider.step);
  await waitFor(async () => (await values())[slider.index] === expected, `"${slider.label}" moved two steps`);
  await waitFor(async () => (await section.locator('output').first().textContent()) === String(expected), 'the read-out follows');
  await page.keyboard.press('End');
  await waitFor(async () => (await values())[slider.index] === slider.max, 'End moves to the maximum');

  // A value typed into the read-out: snapped, kept in the range; not a number is said.
  const typed = async (text) => {
    await section.locator('output.tv-readout').first().click();
    const field = section.getByRole('textbox', { name: `${slider.label} value`, exact: true });
    await field.fill(text);
    await field.press('Enter');
  };
  await typed(String(slider.min + slider.step * 1.4));
  await waitFor(async () => (await values())[slider.index] === slider.min + slider.step, 'a typed value snapped to the step');
  await typed(String(slider.max + 1000));
  await waitFor(async () => (await values())[slider.index] === slider.max, 'a typed value kept in the range');
  await typed('loud');
  assert.equal(await takeMessage(page, 'Error'), '"loud" is not a number');
  assert.equal((await values())[slider.index], slider.max);
  assert.deepEqual(page.problems, []);
});

test('frequency control: ranges remember their values; delay control sums its sliders', async () => {
  const m = await model(PROCESSOR);
  const freq = group(m, 'EQ 2').group.controls.find((c) => c.widget === 'frequency');
  const section = await openGroup(m, 'EQ 2');
  const range = section.getByRole('combobox', { name: `${freq.label} range`, exact: true });
  const initial = m.controls.values[freq.index];
  await range.selectOption({ label: '1k-5k' });
  await waitFor(async () => (await values())[freq.index] === 2000, 'an untouched range applies its initial 2000 Hz');
  await section.getByRole('slider', { name: freq.label, exact: true }).focus();
  await page.keyboard.press('ArrowUp');
  await waitFor(async () => (await values())[freq.index] === 2100, 'the 1k-5k slider moves by 100 Hz');
  // The last range starts at 20000 Hz, above this control's maximum: the
  // program keeps its maximum and the control shows that read-back in its range.
  await range.selectOption({ label: '20k-100k' });
  await waitFor(async () => (await values())[freq.index] === freq.max, `20000 Hz clamped to ${freq.max} Hz`);
  await waitFor(async () => (await range.inputValue()) === '4', 'the read-back selects the 5k-20k range');
  await range.selectOption({ label: '1k-5k' });
  await waitFor(async () => (await values())[freq.index] === 2100, 'back to 1k-5k: 2100 Hz remembered');
  assert.notEqual(initial, undefined);

  await selectPage(page, 'Sound Out');
  const so = await model(SOUND_OUT);
  const delay = group(so, 'MPX Delay').group.controls.find((c) => c.widget === 'delay');
  const win = await openGroup(so, 'MPX Delay');
  for (const [suffix, presses] of [['s', 1], ['0.1 s', 2], ['10 ms', 3], ['1 ms', 4]]) {
    await win.getByRole('slider', { name: `${delay.label} ${suffix}`, exact: true }).focus();
    for (let k = 0; k < presses; ++k) await page.keyboard.press('ArrowUp');
  }
  await waitFor(async () => (await values(SOUND_OUT))[delay.index] === 1234, 'the delay is 1 s + 0.2 s + 30 ms + 4 ms');
  assert.equal(await win.locator('.tv-delay-caption').textContent(), 'MPX Delay 1.234 s');
  await screenshot(page, 'control-window-delay');
  await selectPage(page, 'Processor');
  assert.deepEqual(page.problems, []);
});

test('right click: the default commands each spot offers, and what they reset', async () => {
  const m = await model(PROCESSOR);
  const cw = controlWindow();
  const offered = async () => page.getByRole('menu').last().getByRole('menuitem')
    .evaluateAll((items) => items.map((i) => `${i.textContent}${i.getAttribute('aria-disabled') === 'true' ? ' (off)' : ''}`));

  const input = cw.locator(`[aria-label="Pages of ${m.module}"]`).getByRole('button', { name: 'Input', exact: true });
  await input.click();
  await input.click({ button: 'right' });
  assert.deepEqual(await offered(), ['Set All To Default Values', 'Set Group To Default Values', 'Set Window To Default Values (off)']);
  await page.keyboard.press('Escape');
  await cw.locator('[aria-label="Groups"]').getByRole('button', { name: 'Failsafe', exact: true }).click({ button: 'right' });
  assert.deepEqual(await offered(), ['Set All To Default Values', 'Set Group To Default Values (off)', 'Set Window To Default Values']);
  await page.keyboard.press('Escape');

  const failsafe = group(m, 'Failsafe').group;
  const section = cw.locator('section.tv-group[aria-label="Failsafe"]');
  const changed = await values();
  assert.ok(failsafe.controls.some((c) => changed[c.index] !== c.default), 'the earlier test left Failsafe changed');
  await section.click({ button: 'right', position: { x: 20, y: 60 } });
  await page.getByRole('menu').last().getByRole('menuitem', { name: 'Set Window To Default Values', exact: true }).click();
  await answerYesNo(page, 'Yes');  // asked first: the sound on air changes
  await waitFor(async () => {
    const v = await values();
    return failsafe.controls.every((c) => v[c.index] === c.default);
  }, 'Failsafe back to its defaults');
  const list = failsafe.controls[0];
  await waitFor(async () => (await section.locator(`[data-index="${list.index}"] select`).inputValue()) === String(list.default),
    'the widget moved to the default');
  assert.deepEqual(page.problems, []);
});

test('narrow screens: a wide group opens at 1024x700 (the area scrolls); locked widgets', async () => {
  await page.setViewportSize({ width: 1024, height: 700 });
  const section = controlWindow().locator('section.tv-group[aria-label="Comp Drive (dB)"]');
  try {
    const m = await model(PROCESSOR);
    const cw = controlWindow();
    await cw.locator(`[aria-label="Pages of ${m.module}"]`).getByRole('button', { name: 'Compressor', exact: true }).click();
    await cw.locator('[aria-label="Groups"]').getByRole('button', { name: 'Comp Drive (dB)', exact: true }).click();
    await waitFor(async () => (await section.count()) === 1 && !(await section.evaluate((s) => s.hidden)), 'the group shown');
    await section.getByRole('slider').first().scrollIntoViewIfNeeded();
    assert.equal(await section.getByRole('slider').first().isVisible(), true);
    assert.equal(await page.locator('dialog[open]').count(), 0, 'no "drag the window larger" warning');
  } finally {
    await page.setViewportSize({ width: 1400, height: 900 });
  }
  await waitFor(async () => !(await section.evaluate((s) => s.hidden)), 'still shown in a wide window');

  // A password set and the session logged off: every widget is disabled.
  assert.equal((await pagePost(page, '/api/password/change', { old: '', new: 'Str0ng!Pass', confirmed: '1' })).body.ok, true);
  assert.equal((await pagePost(page, '/api/password/logoff', {})).body.ok, true);
  await waitFor(async () => page.locator('tv-control-window section.tv-group').first().getByRole('slider').first().isDisabled(),
    'sliders disabled while logged off');
  await waitFor(async () => bar().getByRole('combobox', { name: 'Preset list', exact: true }).isDisabled(),
    'preset list disabled while logged off');
  assert.equal((await pagePost(page, '/api/password/logon', { password: 'Str0ng!Pass' })).body.ok, true);
  await waitFor(async () => !(await page.locator('tv-control-window section.tv-group').first().getByRole('slider').first().isDisabled()),
    'enabled again after log on');
  assert.deepEqual(page.problems, []);
});

test('preset bar: Overwrite, Save offered before another preset, notes', async () => {
  const m = await model(PROCESSOR);
  const section = await openGroup(m, 'Failsafe');
  const list = group(m, 'Failsafe').group.controls[0];
  const select = section.locator(`[data-index="${list.index}"] select`);

  await select.selectOption('1');
  await saveAs('Preset....Save As', 'Morning');
  await waitFor(async () => (await currentName()) === 'Morning', '"Morning" current');
  await select.selectOption('0');
  await waitFor(async () => (await currentName()) === 'Morning *', '" *" once changed');
  await saveAs('Preset....Save As', 'Evening');
  await waitFor(async () => (await currentName()) === 'Evening', '"Evening" current');

  // A name in the list needs the user's Yes.
  await saveAs('Preset....Save As', 'Morning');
  const overwrite = dialog(page, 'Preset....Overwrite');
  await overwrite.waitFor();
  await pressButton(overwrite, 'No');
  assert.equal(await currentName(), 'Evening');

  // Changes, then another preset: "Save" is offered first. Cancel stops: nothing is
  // loaded and the changes stay; "Don't Save" goes on without saving.
  await select.selectOption('1');
  await waitFor(async () => (await currentName()) === 'Evening *', '"Evening *"');
  const presetList = bar().getByRole('combobox', { name: 'Preset list', exact: true });
  await presetList.selectOption({ label: 'Morning' });
  const offer = dialog(page, 'Preset....Save');
  await offer.waitFor();
  assert.deepEqual(await offer.getByRole('button').allInnerTexts(), ['Save', "Don't Save", 'Cancel']);
  await pressButton(offer, 'Cancel');
  await offer.waitFor({ state: 'detached' });
  await waitFor(async () => (await currentName()) === 'Evening *', 'still "Evening *" after Cancel');
  assert.equal(await select.inputValue(), '1');
  await presetList.selectOption({ label: 'Morning' });
  await offer.waitFor();
  await pressButton(offer, "Don't Save");
  await waitFor(async () => (await currentName()) === 'Morning', '"Morning" loaded');
  await waitFor(async () => (await select.inputValue()) === '1', 'the widget shows Morning\'s value');
  await bar().getByRole('combobox', { name: 'Preset list', exact: true }).selectOption({ label: 'Evening' });
  await waitFor(async () => (await currentName()) === 'Evening', '"Evening" loaded without a question');
  await waitFor(async () => (await select.inputValue()) === '0', 'Evening was saved before the unsaved change');

  await presetMenu('Notes');
  const notes = dialog(page, 'Preset Notes Editor');
  await notes.getByRole('textbox', { name: 'Notes', exact: true }).fill('Morning show\nlouder');
  await pressButton(notes, 'OK');
  await waitFor(async () => (await server.get('/api/presets', { instance, page: PROCESSOR })).body.notes === 'Morning show\nlouder', 'notes stored');
  assert.deepEqual(page.problems, []);
});

test('day-parts: the editor\'s rules, Save As offered after it, Enable Dayparting', async () => {
  await bar().getByRole('button', { name: 'Dayparts', exact: true }).click();
  await waitFor(async () => (await server.get('/api/presets', { instance, page: PROCESSOR })).body.mode === 'dayparts', 'day-part mode');
  await presetMenu('Edit Dayparts');
  // The editor's own refusals come in message boxes of the same title.
  const editor = dialog(page, 'Edit Dayparts').filter({ has: page.getByRole('listbox', { name: 'Entries' }) });
  const refusal = dialog(page, 'Edit Dayparts').filter({ has: page.locator('.tv-message') });
  await editor.waitFor();
  const add = async (day, hour, preset) => {
    await editor.getByRole('combobox', { name: 'Preset', exact: true }).selectOption(preset);
    await editor.getByRole('combobox', { name: 'Day', exact: true }).selectOption({ label: day });
    await editor.getByRole('combobox', { name: 'Hour', exact: true }).selectOption({ label: hour });
    await editor.getByRole('button', { name: 'Add', exact: true }).click();
  };
  await add('Friday', '18', 'Evening');
  await add('Monday', '06', 'Morning');
  assert.deepEqual(await editor.getByRole('listbox', { name: 'Entries' }).locator('option').allTextContents(),
    ['Monday 06:00\u00a0\u00a0\u00a0Morning', 'Friday 18:00\u00a0\u00a0\u00a0Evening']);
  await add('Monday', '06', 'Evening');
  assert.equal((await refusal.locator('.tv-message').innerText()).trim(), 'An entry with that day and time already exists');
  await pressButton(refusal, 'OK');
  await refusal.waitFor({ state: 'detached' });
  await pressButton(editor, 'OK');
  const name = dialog(page, 'Daypart....Save As');
  await name.getByRole('textbox').fill('Week');
  await pressButton(name, 'OK');
  await waitFor(async () => (await currentName()) === 'Week', '"Week" current');
  const table = (await server.get('/api/dayparts', { instance, page: PROCESSOR })).body.entries;
  assert.deepEqual(table.map((e) => [e.time_code, e.preset]), [[0x20600, 'Morning'], [0x61200, 'Evening']]);

  await presetMenu('Enable Dayparting', 'menuitemcheckbox');
  await waitFor(async () => (await server.get('/api/presets', { instance, page: PROCESSOR })).body.dayparting_enabled, 'dayparting on');
  await bar().getByRole('button', { name: 'Preset menu', exact: true }).click();
  assert.equal(await page.getByRole('menuitemcheckbox', { name: 'Enable Dayparting', exact: true }).getAttribute('aria-checked'), 'true');
  await page.getByRole('menuitemcheckbox', { name: 'Enable Dayparting', exact: true }).click();
  await waitFor(async () => !(await server.get('/api/presets', { instance, page: PROCESSOR })).body.dayparting_enabled, 'dayparting off');
  await bar().getByRole('button', { name: 'Presets', exact: true }).click();
  await waitFor(async () => (await server.get('/api/presets', { instance, page: PROCESSOR })).body.mode === 'presets', 'preset mode');
  assert.deepEqual(page.problems, []);
});
