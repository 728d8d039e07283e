// The main menu's enabled entries in the logged-on, logged-off and no-instance
// states; the password lock as seen by the browser and by direct API requests;
// commands from a foreign Origin. One server, one browser: the steps build on
// each other (a password is set, logged off, logged on, the last instance closed).
import { describe, test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import {
  Torvalen, launchBrowser, openMain, openMenu, openSubmenu, readMenu, chooseMenu, takeMessage,
  selectPage, waitFor, answerYesNo, fillPasswordDialog, pagePost, pageGet, pageToken, instanceTabs,
} from './harness.mjs';

const password = 'Str0ng!Pass';
const loggedOnEnabled = ['Instances', 'Sound', 'CPU Load', 'Affinity', 'Settings', 'Password', 'Style', 'Help', 'Now Playing', 'Exit'];

let server;
let browser;
let page;
let control;  // a slider of the Processor page: {index, min, max}
let loggedOffSession;  // the session cookie the browser held before "Log Off"

describe('main menu, password lock and origin', () => {
  before(async () => {
    server = await new Torvalen({ name: 'menus-lock' }).start();
    browser = await launchBrowser();
    page = await openMain(browser, server);
  });

  after(async () => {
    for (const note of page?.httpNotes || []) console.log(`note: ${note}`);
    await browser?.close();
    await server?.stop();
  });

  const sorted = (list) => [...list].sort();
  const enabledLabels = (entries) => sorted(entries.filter((e) => e.enabled).map((e) => e.label));

  async function closeMenus() {
    await page.keyboard.press('Escape');
    await page.keyboard.press('Escape');
    await waitFor(async () => (await page.getByRole('menu').count()) === 0, 'menus closed').catch(async () => {
      await page.mouse.click(5, 890);
      await waitFor(async () => (await page.getByRole('menu').count()) === 0, 'menus closed');
    });
  }

  async function topMenu() {
    const menu = await openMenu(page);
    return { menu, entries: await readMenu(menu) };
  }

  async function controlValue(index) {
    const { body } = await server.get('/api/values', { instance: (await server.state()).current, page: 3 });
    return body.values[String(index)];
  }

  test('logged on, Processor page: the working entries and the "Processor" module menu', async () => {
    await selectPage(page, 'Processor');
    const { menu, entries } = await topMenu();
    assert.deepEqual(enabledLabels(entries), sorted([...loggedOnEnabled, 'Processor']));
    const module = entries.find((e) => e.label === 'Processor');
    assert.ok(module, 'module entry present');
    const sub = await openSubmenu(page, menu, 'Processor');
    assert.ok((await readMenu(sub)).length > 0, 'the module menu has entries');
    await closeMenus();
  });

  test('logged on, "Sound In" page: no module entry', async () => {
    await selectPage(page, 'Sound In');
    const { entries } = await topMenu();
    assert.deepEqual(enabledLabels(entries), sorted(loggedOnEnabled));
    assert.equal(entries.find((e) => e.label === 'Processor'), undefined);
    await closeMenus();
    await selectPage(page, 'Processor');
  });

  test('a foreign Origin is refused; the own origin is not', async () => {
    const state = await server.state();
    const { body: model } = await server.get('/api/page', { instance: state.current, page: 3 });
    const slider = model.controls.pages.flatMap((p) => p.groups).flatMap((g) => g.controls)
      .find((c) => c.widget === 'slider' && c.max > c.min && model.controls.values[String(c.index)] !== undefined);
    assert.ok(slider, 'the Processor page has a slider');
    control = slider;
    const before = await controlValue(control.index);
    const target = before === control.min ? control.max : control.min;
    const fields = { instance: state.current, page: '3', index: String(control.index), value: String(target) };

    const foreign = await server.post('/api/control/set', fields, { Origin: 'http://evil.example' });
    assert.equal(foreign.status, 403);
    assert.equal(foreign.body?.ok, false);
    assert.equal(await controlValue(control.index), before);

    const own = await server.post('/api/control/set', { ...fields, value: String(before) }, { Origin: server.url });
    assert.equal(own.status, 200);
    assert.equal(own.body.ok, true);
  });

  test('Password > Change sets a password; Log Off locks: only "Password" (Log On) and "Help"', async () => {
    await chooseMenu(page, ['Password', 'Change']);
    await fillPasswordDialog(page, { old: '', fresh: password });
    await waitFor(async () => (await server.state()).password_set, 'password set on the server');
    // The browser that set the first password stays logged on, with a session.
    loggedOffSession = (await browser.cookies(server.url)).find((c) => c.name === 'torvalen_session');
    assert.ok(loggedOffSession, 'a session cookie after setting the password');
    // The page keeps the session's token once the answer has reached it (the server
    // may say "password set" a moment before).
    await waitFor(async () => (await pageGet(page, '/api/state')).body.logged_on === true, 'logged on with the new session');

    await chooseMenu(page, ['Password', 'Log Off']);
    await waitFor(async () => (await pageGet(page, '/api/state')).body.logged_on === false, 'logged off');

    const { menu, entries } = await topMenu();
    assert.deepEqual(enabledLabels(entries), ['Help', 'Password']);
    assert.equal(entries.find((e) => e.label === 'Processor'), undefined, 'no module entry when logged off');
    const sub = await openSubmenu(page, menu, 'Password');
    assert.deepEqual(enabledLabels(await readMenu(sub)), ['Log On']);
    await closeMenus();
  });

  test('logged off, commands are refused (403) from the page and from node, and nothing changes', async () => {
    const state = await server.state();
    const before = await controlValue(control.index);
    const target = before === control.min ? control.max : control.min;
    const fields = { instance: state.current, page: '3', index: String(control.index), value: String(target) };

    const fromPage = await pagePost(page, '/api/control/set', fields);
    assert.equal(fromPage.status, 403);
    assert.match(fromPage.body.message, /Settings are locked: log on first/);

    const bare = await server.post('/api/control/set', fields);
    assert.equal(bare.status, 403);

    // The session that logged off is no key any more.
    const withCookie = await server.post('/api/control/set', fields, { Cookie: `torvalen_session=${loggedOffSession.value}` });
    assert.equal(withCookie.status, 403);
    assert.equal(await controlValue(control.index), before);
  });

  test('Log On: a wrong password says "Password wrong"; the right one unlocks', async () => {
    await chooseMenu(page, ['Password', 'Log On']);
    await fillPasswordDialog(page, { password: 'not-the-one' });
    assert.match(await takeMessage(page), /Password wrong/);
    assert.equal((await pageGet(page, '/api/state')).body.logged_on, false);

    await chooseMenu(page, ['Password', 'Log On']);
    await fillPasswordDialog(page, { password });
    await waitFor(async () => (await pageGet(page, '/api/state')).body.logged_on === true, 'logged on');

    const state = await server.state();
    const before = await controlValue(control.index);
    const target = before === control.min ? control.max : control.min;
    const fields = { instance: state.current, page: '3', index: String(control.index), value: String(target) };
    const fromPage = await pagePost(page, '/api/control/set', fields);
    assert.equal(fromPage.status, 200);
    assert.equal(fromPage.body.ok, true);
    assert.equal(await controlValue(control.index), fromPage.body.value);
    assert.notEqual(fromPage.body.value, before);

    // The browser's session may command; a client without it still may not.
    const bare = await server.post('/api/control/set', { ...fields, value: String(before) });
    assert.equal(bare.status, 403);
    const session = (await browser.cookies(server.url)).find((c) => c.name === 'torvalen_session');
    assert.ok(session, 'the logged-on browser holds the session cookie');
    assert.equal(session.httpOnly, true);
    // The cookie alone, replayed by another service of this host that received
    // it, changes nothing: the page's token must come with it.
    const replay = await server.post('/api/control/set', { ...fields, value: String(before) },
      { Cookie: `torvalen_session=${session.value}` });
    assert.equal(replay.status, 403);
    const token = await pageToken(page);
    assert.equal(token?.length, 64, 'the page keeps the session token');
    const withToken = await server.post('/api/control/set', { ...fields, value: String(before) },
      { Cookie: `torvalen_session=${session.value}`, 'X-Torvalen-Token': token });
    assert.equal(withToken.status, 200);
    assert.equal(await controlValue(control.index), withToken.body.value);

    // Even the logged-on session is refused from a foreign Origin.
    const foreign = await server.post('/api/control/set', fields,
      { Cookie: `torvalen_session=${session.value}`, 'X-Torvalen-Token': token, Origin: 'http://evil.example' });
    assert.equal(foreign.status, 403);
  });

  test('no instance: only "Instances" (New Instance), "Settings" and "Style"', async () => {
    await chooseMenu(page, ['Instances', 'Close Instance']);
    await answerYesNo(page, 'Yes');
    await waitFor(async () => (await server.state()).instances.length === 0, 'the last instance closed');
    await waitFor(async () => (await instanceTabs(page)).names.length === 0, 'no instance tab');

    const { menu, entries } = await topMenu();
    assert.deepEqual(enabledLabels(entries), ['Instances', 'Settings', 'Style']);
    const sub = await openSubmenu(page, menu, 'Instances');
    assert.deepEqual(enabledLabels(await readMenu(sub)), ['New Instance']);
    await closeMenus();
    assert.deepEqual(page.problems, []);
  });
});
