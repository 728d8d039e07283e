// The meters with a test tone playing on the virtual device: the event stream's
// meter data changes, and the meter panel paints frames. The frame rate over
// about five seconds is printed, not judged.
import { describe, test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import path from 'node:path';
import {
  Torvalen, launchBrowser, openMain, selectPage, waitFor, screenshot, tempDir, writeToneWav, sleep,
} from './harness.mjs';

let server;
let browser;
let page;

describe('meters', () => {
  before(async () => {
    const input = writeToneWav(path.join(tempDir('wav'), 'tone-steps.wav'), 4);
    server = await new Torvalen({ name: 'meters', input }).start();
    browser = await launchBrowser();
    page = await openMain(browser, server);
  });

  after(async () => {
    for (const note of page?.httpNotes || []) console.log(`note: ${note}`);
    await browser?.close();
    await server?.stop();
  });

  test('the meters event carries changing data while the tone plays', async () => {
    await selectPage(page, 'Processor');
    const events = await page.evaluate(() => new Promise((resolve) => {
      const source = new EventSource('/api/events');
      const seen = [];
      source.addEventListener('meters', (e) => {
        seen.push(e.data);
        if (seen.length >= 40) { source.close(); resolve(seen); }
      });
      setTimeout(() => { source.close(); resolve(seen); }, 8000);
    }));
    assert.ok(events.length >= 10, `meters events arrived (${events.length})`);
    const parsed = events.map((d) => JSON.parse(d));
    assert.ok(parsed.every((m) => m.page === 3), 'events are of the selected page');
    assert.ok(parsed.some((m) => Array.isArray(m.items) && m.items.length > 0), 'events carry meter items');
    const distinct = new Set(parsed.map((m) => JSON.stringify(m.items)));
    assert.ok(distinct.size > 1, 'the meter data moves');
    const ticks = parsed.map((m) => m.tick);
    assert.ok(ticks[ticks.length - 1] > ticks[0], 'ticks advance');
    // The numbers under the meters: the input's peak, the AGC's gain, the limiter's reduction.
    const numbers = page.getByRole('status', { name: 'Meter read-outs' });
    await waitFor(async () => /Input: -?\d+\.\d dB/.test(await numbers.innerText()), 'the input read-out');
    assert.match(await numbers.innerText(), /AGC: .*[+-]\d+\.\d dB/);
    assert.match(await numbers.innerText(), /Limiter: -?\d+\.\d dB/);
  });

  test('the meter panel paints frames; frames per second measured', async () => {
    const panel = page.locator('tv-meter-panel');
    await panel.waitFor();
    assert.ok(await panel.locator('canvas').count() > 0 || await panel.evaluate((p) => !!p.shadowRoot?.querySelector('canvas')),
      'the meter panel draws on a canvas');
    const framesDrawn = () => panel.evaluate((p) => p.framesDrawn);
    assert.equal(typeof await framesDrawn(), 'number', 'framesDrawn is a counter');
    await waitFor(async () => (await framesDrawn()) > 0, 'a first frame painted');

    const start = { frames: await framesDrawn(), t: Date.now() };
    await sleep(5000);
    const end = { frames: await framesDrawn(), t: Date.now() };
    const fps = ((end.frames - start.frames) * 1000) / (end.t - start.t);
    console.log(`meter panel: ${end.frames - start.frames} frames in ${((end.t - start.t) / 1000).toFixed(2)} s = ${fps.toFixed(1)} frames per second`);
    assert.ok(end.frames > start.frames, 'frames were painted during the measurement');
    await screenshot(page, 'main-window-meters');
    assert.deepEqual(page.problems, []);
  });
});
