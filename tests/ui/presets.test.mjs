// Controls and presets on the Processor page: a control changed in its group
// window, kept in a preset saved with "Save As", still there after a restart on
// the same settings home; the preset exported to a file through the server-side
// file dialog, deleted, imported back, and the value restored by it.
import { describe, test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import fs from 'node:fs';
import path from 'node:path';
import {
  Torvalen, launchBrowser, openMain, selectPage, waitFor, screenshot, answerText, answerYesNo,
  pressButton, dialog, tempDir, artifactsDir,
} from './harness.mjs';

const presetName = 'E2E Test';
const processorPage = 3;

let server;
let browser;
let page;
let target;      // {page, group, control} of the chosen list switch or slider
let savedValue;  // its value in the saved preset

describe('controls and presets', () => {
  before(async () => {
    server = await new Torvalen({ name: 'presets' }).start();
    browser = await launchBrowser();
    page = await openMain(browser, server);
  });

  after(async () => {
    for (const note of page?.httpNotes || []) console.log(`note: ${note}`);
    await browser?.close();
    await server?.stop();
  });

  const current = async () => (await server.state()).current;

  async function values() {
    const { body } = await server.get('/api/values', { instance: await current(), page: processorPage });
    return body.values;
  }

  async function presetBarModel() {
    return (await server.get('/api/presets', { instance: await current(), page: processorPage })).body;
  }

  // A list switch (or else a slider) in a displayable group of the Processor page.
  function chooseControl(model) {
    const candidates = [];
    for (const p of model.controls.pages) {
      for (const g of p.groups) {
        if (!g.displayable) continue;
        for (const c of g.controls) {
          if (model.controls.values[String(c.index)] === undefined) continue;
          if (c.widget === 'list_switch' && c.items?.length > 1) candidates.push({ rank: 0, page: p, group: g, control: c });
          if (c.widget === 'slider' && c.max > c.min) candidates.push({ rank: 1, page: p, group: g, control: c });
        }
      }
    }
    candidates.sort((a, b) => a.rank - b.rank);
    return candidates[0];
  }

  // Opens the target's group window through the control window's page and group lists.
  async function openGroupWindow() {
    const window = page.locator('tv-control-window');
    const pages = window.locator(`[aria-label="Pages of ${target.module}"]`);
    await pages.getByRole('button', { name: target.page.label, exact: true }).click();
    await window.locator('[aria-label="Groups"]').getByRole('button', { name: target.group.label, exact: true }).click();
    const section = window.locator(`section.tv-group[aria-label="${target.group.label}"]`);
    await section.waitFor();
    return section;
  }

  // Sets the target control through its widget to something other than `avoid`;
  // returns the value the server then holds.
  async function changeControl(section, avoid) {
    const c = target.control;
    if (c.widget === 'list_switch') {
      const select = section.locator(`[data-index="${c.index}"] select`);
      const options = await select.locator('option').allInnerTexts();
      const now = await select.inputValue();
      const values = await select.locator('option').evaluateAll((os) => os.map((o) => o.value));
      const next = values.find((v) => v !== now);
      assert.ok(next !== undefined, `"${c.label}" offers another item than ${now} (${options})`);
      await select.selectOption(next);
    } else {
      const slider = section.getByRole('slider', { name: c.label, exact: true });
      const to = avoid === c.min ? c.max : c.min;
      await slider.evaluate((input, v) => {
        input.value = String(v);
        input.dispatchEvent(new Event('input', { bubbles: true }));
        input.dispatchEvent(new Event('change', { bubbles: true }));
      }, to);
    }
    const key = String(c.index);
    return waitFor(async () => {
      const v = (await values())[key];
      return v !== avoid ? { v } : null;
    }, `"${c.label}" changed on the server`).then((r) => r.v);
  }

  const bar = () => page.locator('tv-preset-bar[role="toolbar"][aria-label="Preset bar"]');

  async function currentName() {
    return (await bar().locator('.tv-preset-current').innerText()).trim();
  }

  async function presetMenu(label) {
    await bar().getByRole('button', { name: 'Preset menu', exact: true }).click();
    const menu = page.getByRole('menu').last();
    await menu.waitFor();
    const entry = menu.getByRole('menuitem', { name: label, exact: true });
    assert.notEqual(await entry.getAttribute('aria-disabled'), 'true', `"${label}" is offered`);
    await entry.click();
  }

  async function listNames() {
    return bar().getByRole('combobox', { name: 'Preset list', exact: true }).locator('option').allInnerTexts()
      .then((names) => names.map((n) => n.trim()));
  }

  async function choosePreset(name) {
    const list = bar().getByRole('combobox', { name: 'Preset list', exact: true });
    await list.selectOption({ label: name });
  }

  test('a control changed in its group window is kept by "Save As"', async () => {
    await selectPage(page, 'Processor');
    const state = await server.state();
    const { body: model } = await server.get('/api/page', { instance: state.current, page: processorPage });
    assert.ok(model.controls, 'the Processor page has controls');
    target = { ...chooseControl(model), module: model.module };
    assert.ok(target.control, 'a list switch or slider to change');

    await page.locator('tv-control-window').waitFor();
    const section = await openGroupWindow();
    await screenshot(page, 'control-window');
    await section.screenshot({ path: path.join(artifactsDir, 'control-window-group.png') });
    const initial = model.controls.values[String(target.control.index)];
    savedValue = await changeControl(section, initial);
    assert.notEqual(savedValue, initial);
    // A fresh home has no current preset, so nothing is marked modified yet.
    assert.equal((await presetBarModel()).current, '');

    await presetMenu('Save As');
    await answerText(page, presetName);
    await waitFor(async () => (await currentName()) === presetName, `current preset "${presetName}"`);
    assert.ok((await listNames()).includes(presetName));
    const model2 = await presetBarModel();
    assert.equal(model2.current, presetName);
    assert.equal(model2.modified, false);
    assert.deepEqual(page.problems, []);
  });

  test('after a restart on the same home the preset and its value are there', async () => {
    const exit = await server.stop();
    assert.deepEqual(exit, { code: 0, signal: null }, 'SIGTERM ends torvalen cleanly');
    await server.start();
    // The page kept polling while the server stopped on purpose: its "stopping"
    // answers (503) are no fault of the interface.
    page.problems.length = 0;
    await page.goto(server.url + '/');
    await selectPage(page, 'Processor');
    await waitFor(async () => (await currentName()) === presetName, `"${presetName}" current after the restart`);
    assert.ok((await listNames()).includes(presetName));
    assert.equal((await values())[String(target.control.index)], savedValue);

    // Changed away and loaded again from the list: the preset brings the value back.
    const section = await openGroupWindow();
    const other = await changeControl(section, savedValue);
    assert.notEqual(other, savedValue);
    await waitFor(async () => (await currentName()) === `${presetName} *`, 'shown as modified');
    await choosePreset(presetName);
    await waitFor(async () => (await values())[String(target.control.index)] === savedValue, 'the preset restores the value');
    await waitFor(async () => (await currentName()) === presetName, 'name without " *" after the load');
  });

  // Waits for `probe`; an offer to save unsaved changes that comes up on the way
  // is declined with "Don't Save".
  async function declineOffersUntil(probe, what) {
    await waitFor(async () => {
      if (await probe()) return true;
      const offer = page.locator('dialog[open]').filter({ has: page.getByRole('button', { name: "Don't Save", exact: true }) });
      if (await offer.count()) await offer.last().getByRole('button', { name: "Don't Save", exact: true }).click();
      return false;
    }, what);
  }

  // In the open file dialog: goes to `folder` by typing it (a name ending in "/").
  async function goToFolder(dlg, folder, button) {
    await dlg.getByRole('textbox', { name: 'File name', exact: true }).fill(`${folder}/`);
    await pressButton(dlg, button);
    await waitFor(async () => (await dlg.getByRole('status', { name: 'Folder', exact: true }).innerText()).replace(/\/+$/, '') === folder,
      `the file dialog in ${folder}`);
  }

  test('Export, Delete, Import through the file dialog restore the preset', async () => {
    const exportDir = tempDir('export');

    await presetMenu('Export');
    const save = dialog(page, 'Export');
    await save.waitFor();
    await goToFolder(save, exportDir, 'Save');
    await save.getByRole('textbox', { name: 'File name', exact: true }).fill('e2e-export');
    await pressButton(save, 'Save');
    await save.waitFor({ state: 'detached' });
    // The export writes a hidden temporary file and renames it into place: wait for the
    // file itself.
    const written = await waitFor(() => {
      const files = fs.readdirSync(exportDir).filter((f) => !f.startsWith('.'));
      return files.length ? files : null;
    }, 'the exported file');
    assert.equal(written.length, 1, `one file exported (${written})`);
    assert.match(written[0], /^e2e-export\.\w+$/);
    assert.ok(fs.statSync(path.join(exportDir, written[0])).size > 0);

    // Delete: asked first, then gone from the list.
    await presetMenu('Delete');
    const question = await answerYesNo(page, 'Yes');
    assert.match(question, new RegExp(presetName));
    await waitFor(async () => !(await listNames()).includes(presetName), `"${presetName}" deleted`);
    assert.ok(!(await presetBarModel()).list.includes(presetName));

    // The value moves away; the imported preset brings it back.
    const section = await openGroupWindow();
    await changeControl(section, savedValue);

    await presetMenu('Import');
    const open = dialog(page, 'Import');
    await declineOffersUntil(() => open.count(), 'the Import file dialog');
    await goToFolder(open, exportDir, 'Open');
    await open.getByRole('button', { name: written[0], exact: true }).click();
    await pressButton(open, 'Open');
    await open.waitFor({ state: 'detached' });
    // The import loads the file's settings under its name, not yet stored in the list.
    await waitFor(async () => (await values())[String(target.control.index)] === savedValue,
      'the imported preset restores the value');
    await waitFor(async () => (await currentName()).startsWith(presetName), `"${presetName}" current after the import`);

    // "Save" stores it under that name again.
    await presetMenu('Save');
    const confirmSave = dialog(page, 'Preset....Save');
    await confirmSave.waitFor();
    await pressButton(confirmSave, 'OK');
    await waitFor(async () => (await listNames()).includes(presetName), `"${presetName}" in the list again`);
    await waitFor(async () => (await currentName()) === presetName, 'saved: no " *"');
    assert.deepEqual(page.problems, []);
  });

  test('"Set Window To Default Values" from the group window\'s menu resets its controls', async () => {
    const key = String(target.control.index);
    const section = await openGroupWindow();
    if ((await values())[key] === target.control.default) await changeControl(section, target.control.default);
    const changed = (await values())[key];
    assert.notEqual(changed, target.control.default);
    await section.click({ button: 'right', position: { x: 20, y: 40 } });
    const menu = page.getByRole('menu').last();
    await menu.waitFor();
    const entry = menu.getByRole('menuitem', { name: 'Set Window To Default Values', exact: true });
    assert.notEqual(await entry.getAttribute('aria-disabled'), 'true');
    await entry.click();
    assert.match(await answerYesNo(page, 'Yes'), /default values/);
    await waitFor(async () => (await values())[key] === target.control.default, 'the control back at its default');
    // The widget follows (tv-values-changed).
    if (target.control.widget === 'list_switch') {
      const select = section.locator(`[data-index="${target.control.index}"] select`);
      await waitFor(async () => Number(await select.inputValue()) === target.control.default, 'the list switch shows the default');
    }
    await waitFor(async () => (await currentName()) === `${presetName} *`, 'the preset shown as modified');
    // "Undo" in the preset menu brings the values back once.
    await presetMenu('Undo');
    await waitFor(async () => (await values())[key] === changed, 'Undo restores the value');
    assert.equal((await presetBarModel()).undo, false);
    assert.deepEqual(page.problems, []);
  });

  test('a preset downloaded to this computer and uploaded back brings its values', async () => {
    const key = String(target.control.index);
    const saved = (await values())[key];
    const [download] = await Promise.all([page.waitForEvent('download'), presetMenu('Download To This Computer')]);
    const file = path.join(tempDir('download'), download.suggestedFilename());
    await download.saveAs(file);
    assert.ok(fs.statSync(file).size > 0);
    const section = await openGroupWindow();
    await changeControl(section, saved);
    const [chooser] = await Promise.all([
      page.waitForEvent('filechooser'),
      (async () => {
        await presetMenu('Upload From This Computer');
        await declineOffersUntil(async () => false, 'no offer').catch(() => {});
      })(),
    ]);
    await chooser.setFiles(file);
    await waitFor(async () => (await values())[key] === saved, 'the uploaded preset restores the value');
    assert.deepEqual(page.problems, []);
  });
});
