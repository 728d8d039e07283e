// Instances from the main menu: create, refuse a duplicate name, rename, close;
// the tab strip follows each step, and the server agrees.
import { describe, test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import {
  Torvalen, launchBrowser, openMain, chooseMenu, takeMessage, instanceTabs, waitFor, screenshot,
  answerText, answerYesNo,
} from './harness.mjs';

let server;
let browser;
let page;

describe('instances', () => {
  before(async () => {
    server = await new Torvalen({ name: 'instances' }).start();
    browser = await launchBrowser();
    page = await openMain(browser, server);
  });

  after(async () => {
    for (const note of page?.httpNotes || []) console.log(`note: ${note}`);
    await browser?.close();
    await server?.stop();
  });

  async function tabsBecome(names, selected) {
    await waitFor(async () => {
      const tabs = await instanceTabs(page);
      return JSON.stringify(tabs.names) === JSON.stringify(names) && tabs.selected === selected;
    }, `instance tabs ${JSON.stringify(names)} with "${selected}" selected`).catch(async (e) => {
      throw new Error(`${e.message}; tabs now ${JSON.stringify(await instanceTabs(page))}`);
    });
  }

  test('a fresh home starts with one instance on the tab strip', async () => {
    const state = await server.state();
    assert.equal(state.instances.length, 1);
    await tabsBecome(state.instances, state.current);
    const pageTabs = page.getByRole('tablist', { name: 'Pages' }).getByRole('tab');
    assert.deepEqual((await pageTabs.allInnerTexts()).map((t) => t.trim()), state.pages.map((p) => p.label));
  });

  test('New Instance adds a tab, newest first, and selects it', async () => {
    const first = (await server.state()).instances[0];
    await chooseMenu(page, ['Instances', 'New Instance']);
    await answerText(page, 'Studio B');
    await tabsBecome(['Studio B', first], 'Studio B');
    const state = await server.state();
    assert.deepEqual(state.instances, ['Studio B', first]);
    assert.equal(state.current, 'Studio B');
    await screenshot(page, 'main-window-two-instances');
  });

  test('a duplicate name is refused with a message and adds nothing', async () => {
    const before = await server.state();
    await chooseMenu(page, ['Instances', 'New Instance']);
    await answerText(page, 'Studio B');
    const message = await takeMessage(page);
    assert.match(message, /There is already an instance with this name/);
    assert.deepEqual((await server.state()).instances, before.instances);
    await tabsBecome(before.instances, before.current);
  });

  test('Rename Instance renames the current tab', async () => {
    const first = (await server.state()).instances[1];
    await chooseMenu(page, ['Instances', 'Rename Instance']);
    await answerText(page, 'Studio C');
    await tabsBecome(['Studio C', first], 'Studio C');
    assert.deepEqual((await server.state()).instances, ['Studio C', first]);
  });

  test('clicking a tab selects that instance', async () => {
    const { names } = await instanceTabs(page);
    await page.getByRole('tablist', { name: 'Instances' }).getByRole('tab', { name: names[1], exact: true }).click();
    await tabsBecome(names, names[1]);
    await waitFor(async () => (await server.state()).current === names[1], 'server follows the selected tab');
    await page.getByRole('tablist', { name: 'Instances' }).getByRole('tab', { name: names[0], exact: true }).click();
    await tabsBecome(names, names[0]);
  });

  test('Close Instance asks first; No keeps it, Yes closes it', async () => {
    const { names } = await instanceTabs(page);
    assert.equal(names[0], 'Studio C');
    await chooseMenu(page, ['Instances', 'Close Instance']);
    const question = await answerYesNo(page, 'No');
    assert.match(question, /This will close the current processor and delete all the presets/);
    assert.deepEqual((await server.state()).instances, names);

    await chooseMenu(page, ['Instances', 'Close Instance']);
    await answerYesNo(page, 'Yes');
    await tabsBecome([names[1]], names[1]);
    assert.deepEqual((await server.state()).instances, [names[1]]);
    assert.deepEqual(page.problems, []);
  });
});
