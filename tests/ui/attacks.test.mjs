// Pages of another service on this host (another port of 127.0.0.1) try to send
// commands through the operator's browser: a form that hides its origin
// (no-referrer: the browser sends "Origin: null", "Sec-Fetch-Site: same-site"),
// and a form posted to the other service that answers with a 307 redirect to
// torvalen. Neither may create anything.
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import http from 'node:http';
import { Torvalen, launchBrowser } from './harness.mjs';

let server;
let browser;
let other;
let otherUrl;

function formPage(action, name, { hideReferrer }) {
  return `<!doctype html><html><head>${hideReferrer ? '<meta name="referrer" content="no-referrer">' : ''}</head>
<body><form method="POST" action="${action}"><input name="name" value="${name}"></form>
<script>document.forms[0].submit();</script></body></html>`;
}

before(async () => {
  server = await new Torvalen({ name: 'attacks' }).start();
  other = http.createServer((req, res) => {
    if (req.method === 'GET' && req.url === '/no-referrer') {
      res.writeHead(200, { 'Content-Type': 'text/html' });
      res.end(formPage(`${server.url}/api/instance/new`, 'Forged1', { hideReferrer: true }));
    } else if (req.method === 'GET' && req.url === '/via-redirect') {
      res.writeHead(200, { 'Content-Type': 'text/html' });
      res.end(formPage('/bounce', 'Forged2', { hideReferrer: false }));
    } else if (req.method === 'POST' && req.url === '/bounce') {
      req.resume();
      res.writeHead(307, { Location: `${server.url}/api/instance/new` });
      res.end();
    } else {
      res.writeHead(404);
      res.end();
    }
  });
  await new Promise((resolve) => other.listen(0, '127.0.0.1', resolve));
  otherUrl = `http://127.0.0.1:${other.address().port}`;
  browser = await launchBrowser();
});

after(async () => {
  await browser?.close();
  await server?.stop();
  other?.close();
});

for (const [how, path, name] of [['a no-referrer form', '/no-referrer', 'Forged1'],
  ['a 307 redirect', '/via-redirect', 'Forged2']]) {
  test(`a page on another port cannot command through ${how}`, async () => {
    const page = await browser.newPage();
    const answer = page.waitForResponse((r) => r.url() === `${server.url}/api/instance/new`);
    await page.goto(`${otherUrl}${path}`);
    const response = await answer;
    assert.equal(response.status(), 403);
    // What the browser sent: a hidden origin or the other service's, never ours.
    const sent = response.request().headers();
    assert.notEqual(sent.origin, server.url, JSON.stringify(sent));
    assert.equal((await server.state()).instances.includes(name), false);
    await page.close();
  });
}
