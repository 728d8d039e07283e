// The Player page in a real browser against a real torvalen on the virtual
// device: files added through the server-side file dialog, decks shown with their
// state word in its colour, Play, seeking on the position bar, Clear, moving and
// deleting playlist entries, and the "Player Settings" dialog.
import { describe, test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import path from 'node:path';
import {
  Torvalen, launchBrowser, openMain, selectPage, waitFor, screenshot, chooseMenu, dialog, pressButton,
  tempDir, writeToneWav,
} from './harness.mjs';

let server;
let browser;
let page;

describe('player page', () => {
  before(async () => {
    server = await new Torvalen({ name: 'player' }).start();
    browser = await launchBrowser();
    page = await openMain(browser, server);
  });

  after(async () => {
    await browser?.close();
    await server?.stop();
  });

  const player = async () => (await server.get('/api/player', { instance: (await server.state()).current })).body;
  const deckByWord = (word) => page.locator(`tv-player-page section.tv-deck[data-word="${word}"]`);

  test('decks, Play, seek, Clear, the playlist and Player Settings', async () => {
    const music = tempDir('music');
    const one = path.join(music, 'one.wav');
    const two = path.join(music, 'two.wav');
    writeToneWav(one, 60);
    writeToneWav(two, 10);

    await selectPage(page, 'Player');
    const view = page.locator('tv-player-page');
    await view.waitFor();

    // "File": the server-side file dialog; each chosen file is appended at once.
    for (const file of [one, two]) {
      await view.getByRole('button', { name: 'File', exact: true }).click();
      const files = dialog(page, 'Open');
      await files.waitFor();
      await files.getByRole('textbox', { name: 'File name' }).fill(file);
      await pressButton(files, 'Open');
      const again = dialog(page, 'Open');
      await again.waitFor();  // open again for the next file
      await pressButton(again, 'Cancel');
    }
    // Mode 0 takes the entries into the decks: both cued, in yellow.
    await waitFor(async () => (await deckByWord('CUED').count()) === 2, 'two decks CUED');
    const cued = deckByWord('CUED').first();
    assert.equal(await cued.locator('.tv-deck-state').evaluate((e) => getComputedStyle(e).color), 'rgb(255, 255, 64)');
    assert.equal(await cued.locator('.tv-deck-title').innerText(), 'one.wav');
    assert.equal(await deckByWord('EMPTY').first().locator('.tv-deck-state').evaluate((e) => getComputedStyle(e).color),
      'rgb(255, 64, 64)');

    // Play: the first deck goes live, in green, and its time runs.
    await view.getByRole('button', { name: 'Play', exact: true }).click();
    const playing = deckByWord('PLAYING');
    await waitFor(async () => (await playing.count()) === 1, 'a deck PLAYING');
    assert.equal(await playing.locator('.tv-deck-state').evaluate((e) => getComputedStyle(e).color), 'rgb(64, 255, 64)');
    assert.match(await playing.locator('.tv-deck-info').innerText(), /^000:\d\d \/ 000:59 {3}Wav {2}48000Hz Stereo 1536kB\/s$/);
    await screenshot(page, 'player-playing');

    // A click in the middle of the bar seeks there.
    const bar = playing.locator('.tv-deck-bar');
    const box = await bar.boundingBox();
    await page.mouse.click(box.x + box.width * 0.5, box.y + box.height / 2);
    await waitFor(async () => Number(await playing.locator('.tv-deck-bar').getAttribute('aria-valuenow'))  >= 45,
      'the position moved to about 50 %');

    // Clear on the playing deck fades it; the next one takes over.
    assert.equal(await playing.locator('.tv-deck-title').innerText(), 'one.wav');
    await playing.getByRole('button', { name: /^Clear deck/ }).click();
    await waitFor(async () => (await deckByWord('FADE').count()) + (await deckByWord('OVERLAP').count()) === 1,
      'the cleared deck fades');
    await waitFor(async () => (await playing.locator('.tv-deck-title').allInnerTexts()).join() === 'two.wav',
      'two.wav plays next', { timeout: 15000 });
    await view.getByRole('button', { name: 'Stop', exact: true }).click();
    await waitFor(async () => !(await player()).play, 'stopped');

    // Player Settings: "Repeating simple playlist" keeps the entries in the list.
    await chooseMenu(page, ['Player', 'Player mode settings']);
    const settings = dialog(page, 'Player Settings');
    await settings.waitFor();
    assert.equal(await settings.getByRole('radio', { name: 'Multiple playlist rotation', exact: true }).isDisabled(), true);
    await settings.getByRole('radio', { name: 'Repeating simple playlist', exact: true }).check();
    await pressButton(settings, 'Apply');
    await waitFor(async () => (await player()).mode === 1, 'mode 1 applied');

    // The playlist: add both again, move the second up, delete it.
    for (const file of [one, two]) {
      await view.getByRole('button', { name: 'File', exact: true }).click();
      const files = dialog(page, 'Open');
      await files.getByRole('textbox', { name: 'File name' }).fill(file);
      await pressButton(files, 'Open');
      await pressButton(dialog(page, 'Open'), 'Cancel');
    }
    const entries = view.getByRole('list', { name: 'Playlist entries' }).getByRole('listitem');
    await waitFor(async () => (await entries.count()) === 2, 'two entries');
    await view.getByRole('button', { name: 'Move two.wav up' }).first().click();
    await waitFor(async () => (await player()).playlist[0].path === two, 'two.wav first on the server');
    await waitFor(async () => (await entries.first().getAttribute('aria-label')) === 'two.wav', 'two.wav shown first');
    await view.getByRole('button', { name: 'Delete two.wav' }).first().click();
    await waitFor(async () => (await entries.count()) === 1, 'one entry left');
    assert.deepEqual((await player()).playlist.map((e) => e.path), [one]);
    await screenshot(page, 'player-playlist');

    // Rotation settings: a new rotation, edited (a file, weight 7, enabled) and applied.
    await chooseMenu(page, ['Player', 'Rotaion settings']);
    const manager = dialog(page, 'Rotation settings');
    await manager.waitFor();
    assert.equal(await manager.getByRole('button', { name: 'Edit', exact: true }).isDisabled(), true);
    await pressButton(manager, 'New');
    const ask = dialog(page, 'New');
    await ask.getByRole('textbox', { name: 'Name' }).fill('Rock');
    await pressButton(ask, 'OK');
    const rotations = manager.getByRole('listbox', { name: 'Rotations' });
    await waitFor(async () => (await rotations.locator('option').allInnerTexts()).join() === 'Rock', 'Rock listed');
    await rotations.selectOption({ label: 'Rock' });
    await pressButton(manager, 'Edit');
    const editor = dialog(page, 'Rock');
    await editor.waitFor();
    await pressButton(editor, 'File');
    const files = dialog(page, 'Open');
    await files.getByRole('textbox', { name: 'File name' }).fill(two);
    await pressButton(files, 'Open');
    await pressButton(dialog(page, 'Open'), 'Cancel');
    await editor.getByRole('radio', { name: '7', exact: true }).check();
    await editor.getByRole('checkbox', { name: 'Enable' }).check();
    await pressButton(editor, 'Apply');
    await editor.waitFor({ state: 'detached' });
    const rock = (await player()).rotations[0];
    assert.deepEqual([rock.name, rock.weight, rock.enable, rock.paths], ['Rock', 7, true, [two]]);
    await pressButton(manager, 'Close');
  });
});
