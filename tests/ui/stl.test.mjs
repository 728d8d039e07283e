// The studio-transmitter link's dialogs in the browser: one instance's STL RX set
// up and started from "STL RX Settings", its own STL TX pointed at it from "STL TX
// Settings" (with the "PCM Settings" sub-dialog), a weak password refused, and the
// link coming up as the page's status pane and the API show it.
import { describe, test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import {
  Torvalen, launchBrowser, openMain, chooseMenu, dialog, pressButton, takeMessage, selectPage, waitFor,
  pageGet, freePort,
} from './harness.mjs';

let server;
let browser;
let page;

describe('link dialogs', () => {
  before(async () => {
    server = await new Torvalen({ name: 'stl' }).start();
    browser = await launchBrowser();
    page = await openMain(browser, server);
  });

  after(async () => {
    await browser?.close();
    await server?.stop();
  });

  test('STL RX and STL TX set up from their dialogs link the instance to itself', async () => {
    const instance = (await pageGet(page, '/api/state')).body.current;
    const port = String(await freePort());

    await selectPage(page, 'STL RX');
    await chooseMenu(page, ['STL RX Settings']);
    const rx = dialog(page, 'STL RX Settings');
    await rx.waitFor();
    await rx.getByLabel('Port', { exact: true }).fill(port);
    await rx.getByLabel('100ms Buffer').check();
    await rx.getByLabel('Enable', { exact: true }).check();
    await pressButton(rx, 'Apply');
    await pressButton(rx, 'Start');
    await waitFor(async () => (await rx.locator('.tv-readout').innerText()).includes('STL RX Enabled'), 'RX enabled');
    await pressButton(rx, 'Close');
    const rxInfo = (await pageGet(page, '/api/stl_rx', { instance })).body;
    assert.equal(rxInfo.settings.buffer_time, 100);
    assert.equal(rxInfo.listening, true);

    await selectPage(page, 'STL TX');
    await chooseMenu(page, ['STL TX Settings']);
    const tx = dialog(page, 'STL TX Settings');
    await tx.waitFor();
    await tx.getByLabel('URL / IP Address').fill('127.0.0.1');
    await tx.getByLabel('Port', { exact: true }).fill(port);
    await tx.getByLabel('Enable', { exact: true }).check();
    await tx.getByLabel('PCM  Encoding').check();
    // The PCM sub-dialog: 192 kHz takes away stereo; back to 48 kHz stereo.
    await tx.getByRole('button', { name: 'PCM Settings' }).click();
    const pcm = dialog(page, 'PCM Settings');
    await pcm.waitFor();
    await pcm.getByLabel('192kHz Sample Rate').check();
    assert.equal(await pcm.getByLabel('Stereo').isDisabled(), true);
    assert.equal(await pcm.getByLabel('Mono', { exact: true }).isChecked(), true);
    await pcm.getByLabel('48kHz Saple Rate').check();
    await pcm.getByLabel('Stereo').check();
    await pressButton(pcm, 'OK');
    // A weak password is refused with the password rule's message.
    await tx.getByLabel('Password').fill('weak');
    await pressButton(tx, 'Apply');
    assert.match(await takeMessage(page, 'Error'), /Password not strong/);
    await tx.getByLabel('Password').fill('');
    await pressButton(tx, 'Apply');
    await pressButton(tx, 'Start');
    await pressButton(tx, 'Close');

    // The link comes up (encrypted: the first key pair is made on the first connect).
    await waitFor(async () => (await pageGet(page, '/api/stl_tx', { instance })).body.connected, 'link up', { timeout: 30000 });
    const txInfo = (await pageGet(page, '/api/stl_tx', { instance })).body;
    assert.equal(txInfo.settings.encoder, 0);
    assert.equal(txInfo.settings.pcm_rate, 48000);
    assert.equal(txInfo.settings.pcm_channels, 2);
    await waitFor(async () => (await page.locator('tv-status-pane').innerText()).includes('Connected with encyption'),
      'status pane shows the link', { timeout: 10000 });
    const rxUp = (await pageGet(page, '/api/stl_rx', { instance })).body;
    assert.equal(rxUp.status_text, 'Connected with encryption');
    assert.ok(rxUp.status_lines.includes('PCM 48 kHz Stereo'), rxUp.status_lines.join('|'));
  });
});
