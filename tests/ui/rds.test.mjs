// The RDS dialogs of the Sound Out menu and the Now Playing dialog, driven as an
// operator would: values typed into the dialogs reach the server's RDS content,
// characters RDS cannot carry are reported, the traffic announcement switches by
// hand, and the Now Playing test source shows its text in the Input Monitor.
// Last, the program stops and the page says its values are no longer live.
import { describe, test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import fs from 'node:fs';
import path from 'node:path';
import {
  Torvalen, launchBrowser, openMain, chooseMenu, selectPage, waitFor, dialog, pressButton, takeMessage, answerYesNo, tempDir,
} from './harness.mjs';

let server;
let browser;
let page;

describe('RDS and Now Playing dialogs', () => {
  before(async () => {
    server = await new Torvalen({ name: 'rds' }).start();
    browser = await launchBrowser();
    page = await openMain(browser, server);
  });

  after(async () => {
    await browser?.close();
    await server?.stop();
  });

  const rds = async () => (await server.get('/api/rds', {})).body;

  test('"RDS Settings": PS, PI and the PIN are stored; uncarried characters are reported', async () => {
    await selectPage(page, 'Sound Out');
    await chooseMenu(page, ['Sound Out', 'RDS Settings']);
    const dlg = dialog(page, 'RDS Settings');
    await dlg.waitFor();
    await dlg.getByRole('textbox', { name: 'Fixed PS Name', exact: true }).fill('Jazz☃FM');
    await dlg.getByRole('textbox', { name: 'PI Code (Hex)', exact: true }).fill('d3c2');
    await dlg.getByRole('textbox', { name: 'Minute', exact: true }).fill('3B');
    await dlg.getByRole('combobox', { name: 'Program Type', exact: true }).selectOption({ label: 'Jazz Music' });
    await pressButton(dlg, 'Apply');
    assert.equal(await takeMessage(page, 'Warning'), 'Characters RDS cannot carry were replaced by spaces');
    await pressButton(dlg, 'Close');
    const stored = await rds();
    assert.equal(stored.fixed_ps, 'Jazz FM ');
    assert.equal(stored.pi, 'D3C2');
    assert.equal(stored.pin.minute, '3B');
    assert.equal(stored.pty, 24);
  });

  test('"RDS Traffic Announcement": On and Off by hand update the status line', async () => {
    await chooseMenu(page, ['Sound Out', 'RDS Traffic Anouncement']);
    const dlg = dialog(page, 'RDS Traffic Announcement');
    await dlg.waitFor();
    const line = dlg.getByRole('status', { name: 'Traffic Announcement' });
    await pressButton(dlg, 'On');
    await waitFor(async () => (await line.innerText()) === 'Traffic Announcement Active', 'TA on');
    await pressButton(dlg, 'Off');
    await waitFor(async () => (await line.innerText()) === 'Traffic Announcement Not Active', 'TA off');
    await pressButton(dlg, 'Close');
  });

  test('"Now Playing Meta Data": Apply only after a change; the test source\'s Send shows its text', async () => {
    await chooseMenu(page, ['Now Playing']);
    const dlg = dialog(page, 'Now Playing Meta Data');
    await dlg.waitFor();
    const apply = dlg.getByRole('button', { name: 'Apply', exact: true });
    assert.equal(await apply.isDisabled(), true);
    await dlg.getByRole('radio', { name: 'Test', exact: true }).check();
    assert.equal(await apply.isDisabled(), false);
    await apply.click();
    await waitFor(async () => apply.isDisabled(), 'Apply disabled once stored');
    await pressButton(dlg, 'Send');
    await waitFor(async () => (await dlg.getByLabel('Input Monitor').first().innerText()).includes('An Artist - A Track'),
      'the monitor shows the test text');
    await pressButton(dlg, 'Close');
    assert.equal((await server.get('/api/nowplaying', {})).body.mode, 2);
    assert.deepEqual(page.problems, []);
  });

  test('the on-air strip shows the processor, preset, device, clock and alarms', async () => {
    const strip = page.getByRole('status', { name: 'On air' });
    await waitFor(async () => (await strip.innerText()).includes('Processor Torvalen One'), 'the processor shown');
    const text = await strip.innerText();
    assert.match(text, /Device Virtual device, 48 kHz, running/);
    assert.match(text, /Clock \d{4}-\d\d-\d\d \d\d:\d\d:\d\d /);
    // The virtual device plays silence here: the input is reported silent.
    await waitFor(async () => (await strip.innerText()).includes('Alarm Input silent'), 'the silence alarm');
  });

  test('the whole configuration is downloaded and staged for restore through the browser', async () => {
    const [download] = await Promise.all([page.waitForEvent('download'), chooseMenu(page, ['Settings', 'Download Configuration'])]);
    assert.match(download.suggestedFilename(), /^torvalen-settings-\d{8}-\d{4}\.db$/);
    const file = path.join(tempDir('config'), download.suggestedFilename());
    await download.saveAs(file);
    assert.equal(fs.readFileSync(file).subarray(0, 15).toString(), 'SQLite format 3');
    await chooseMenu(page, ['Settings', 'Restore Configuration']);
    const [chooser] = await Promise.all([page.waitForEvent('filechooser'), answerYesNo(page, 'Yes')]);
    await chooser.setFiles(file);
    assert.match(await takeMessage(page, 'Restore Configuration'), /next start/);
    assert.ok(fs.existsSync(path.join(server.home, 'settings.db.restore')));
  });

  test('when the program goes away the page says the values are not live', async () => {
    await selectPage(page, 'Processor');
    await server.stop();
    const banner = page.getByRole('alert');
    await banner.waitFor();
    assert.match(await banner.innerText(), /Connection lost/);
    assert.equal(await page.evaluate(() => document.body.classList.contains('tv-connection-lost')), true);
  });
});
