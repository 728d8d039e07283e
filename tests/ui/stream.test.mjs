// The Stream TX page and windows in the browser: the page shows its control window
// (a group window's switch reaches the module), its preset bar and its level meter;
// "Streaming settings" takes a new genre, ">>" opens "Streams Settup" where a new
// stream is made, and its "Stream Connection Settings" refuses IPv6 and takes a
// new path. No server is streamed to (tests/stream does that against icecast2).
import { describe, test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import {
  Torvalen, launchBrowser, openMain, chooseMenu, dialog, pressButton, takeMessage, selectPage, waitFor,
  pageGet, answerText,
} from './harness.mjs';

let server;
let browser;
let page;

describe('stream windows', () => {
  before(async () => {
    server = await new Torvalen({ name: 'stream' }).start();
    browser = await launchBrowser();
    page = await openMain(browser, server);
  });

  after(async () => {
    await browser?.close();
    await server?.stop();
  });

  test('Stream TX page, Streaming settings, Streams Settup and a connection take their changes', async () => {
    const instance = (await pageGet(page, '/api/state')).body.current;
    const stream = async () => (await pageGet(page, '/api/stream', { instance })).body;

    await selectPage(page, 'Stream TX');
    await page.locator('tv-preset-bar[role="toolbar"][aria-label="Preset bar"]').waitFor();
    await page.locator('tv-meter-panel').waitFor();
    const window = page.locator('tv-control-window');
    await window.locator('[aria-label="Pages of Stream TX"]').getByRole('button', { name: 'Stream TX', exact: true }).click();
    await window.locator('[aria-label="Groups"]').getByRole('button', { name: 'De-Emph', exact: true }).click();
    const group = window.locator('section.tv-group[aria-label="De-Emph"]');
    await group.waitFor();
    await group.getByRole('combobox').first().selectOption({ label: '75us' });
    await waitFor(async () => (await stream()).params.de_emph === 2, 'De-Emph 75us taken');

    await chooseMenu(page, ['Stream TX Settings']);
    const settings = dialog(page, 'Streaming settings');
    await settings.waitFor();
    await settings.getByLabel('Genre').fill('Jazz');
    await pressButton(settings, 'Apply');
    await waitFor(async () => (await stream()).station.genre === 'Jazz', 'genre taken');

    await pressButton(settings, '>>');
    const streams = dialog(page, 'Streams Settup');
    await streams.waitFor();
    await streams.getByRole('button', { name: 'New', exact: true }).first().click();
    assert.equal(await answerText(page, 'Studio'), 'New Stream');
    await waitFor(async () => (await stream()).slots[0].streams.length === 1, 'new stream listed');
    await streams.getByRole('option', { name: 'Studio' }).waitFor();
    await streams.getByRole('button', { name: 'Setup', exact: true }).first().click();
    const connection = dialog(page, 'Stream Connection Settings');
    await connection.waitFor();
    await connection.getByLabel('IPv6').check();
    assert.equal(await takeMessage(page, 'Error'), 'IPv6 not supported yet');
    assert.equal(await connection.getByLabel('IPv4').isChecked(), true);
    await connection.getByLabel('Path').fill('/studio');
    await pressButton(connection, 'Apply');
    await connection.waitFor({ state: 'detached' });
    const s = (await stream()).slots[0].streams[0];
    assert.equal(s.name, 'Studio');
    assert.equal(s.path, '/studio');
    assert.equal(s.status_text, 'Disconnected');
    await pressButton(streams, 'Close');
    await pressButton(settings, 'Close');
  });
});
