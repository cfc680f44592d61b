// A guest on the real guest page in headless Chromium, phone-sized, against the local event
// service, while the DJ works in `floorvote run`. The test program owns the service and the DJ's
// terminal: this script writes one JSON line when it needs the DJ ({"op": "sent", ...}) and reads
// the answer line; it ends with {"op": "done", "results": [{name, ok, detail}]}.
//
//   node guest_page_browser.mjs --url http://127.0.0.1:N/e/EVENT --artefacts DIR
import { chromium } from 'playwright-core';
import { createInterface } from 'node:readline';
import { mkdirSync } from 'node:fs';
import { join } from 'node:path';

const args = Object.fromEntries(
  process.argv.slice(2).reduce((acc, a, i, all) => (a.startsWith('--') ? [...acc, [a.slice(2), all[i + 1]]] : acc), []),
);
const lines = createInterface({ input: process.stdin });
const pending = [];
lines.on('line', (l) => {
  const next = pending.shift();
  if (next) next(JSON.parse(l));
});
function ask(request) {
  return new Promise((resolve) => {
    pending.push(resolve);
    process.stdout.write(JSON.stringify(request) + '\n');
  });
}
const results = [];
function check(name, ok, detail = '') {
  results.push({ name, ok: !!ok, detail: String(detail) });
  process.stderr.write(`[guest_page] ${ok ? 'ok  ' : 'FAIL'} ${name}${detail ? ' – ' + detail : ''}\n`);
}
async function attempt(name, fn) {
  try {
    await fn();
  } catch (e) {
    check(name, false, e.message.split('\n')[0]);
  }
}

const evil = '<img src=x onerror=window.__pwned=1>Mara';
let browser = null;
async function main() {
  mkdirSync(args.artefacts, { recursive: true });
  browser = await chromium.launch({
    executablePath: '/usr/bin/chromium',
    args: ['--headless', '--no-sandbox', '--disable-gpu', '--disable-background-networking'],
  });
  const context = await browser.newContext({ viewport: { width: 390, height: 844 }, deviceScaleFactor: 2, locale: 'de-DE' });
  const page = await context.newPage();
  const pageErrors = [];
  page.on('pageerror', (e) => pageErrors.push(e.message));
  page.on('console', (m) => { if (m.type() === 'error') pageErrors.push(m.text()); });
  await page.goto(args.url);

  await attempt('the page shows the event', async () => {
    await page.waitForFunction(() => document.getElementById('event-name').textContent === 'Sommerfest', null, { timeout: 10000 });
    check('the page shows the event', true, await page.textContent('#dj-name'));
  });

  await attempt('a name with markup stays text', async () => {
    await page.fill('#name-input', evil);
    await page.click('#name-form button');
    await page.waitForSelector('#guest:not([hidden])', { timeout: 10000 });
    const hello = await page.textContent('#hello-text');
    const injected = await page.evaluate(() => ({ pwned: window.__pwned === 1, imgs: document.querySelectorAll('#hello img').length }));
    check('a name with markup stays text', hello.includes(evil) && !injected.pwned && injected.imgs === 0, hello);
  });

  let requestId = null;
  await attempt('a request from the suggestions', async () => {
    await page.type('#title-input', 'blue', { delay: 30 });
    await page.waitForSelector('#suggestions:not([hidden]) button', { timeout: 10000 });
    const offered = await page.$$eval('#suggestions button', (b) => b.map((x) => x.textContent));
    await page.click('#suggestions button');
    check('suggestions come from the event\'s tracks', offered.length === 1 && offered[0] === 'New Order – Blue Monday', offered.join(' | '));
    await page.click('#request-send');
    await page.waitForFunction(() => document.getElementById('notice').textContent === 'Dein Wunsch ist angekommen!', null, { timeout: 10000 });
    requestId = Number(await page.getAttribute('#requests li.mine', 'data-id'));
    check('a request from the suggestions', requestId > 0, `id ${requestId}`);
  });

  await attempt('a message to the DJ', async () => {
    await page.fill('#message-input', 'Hallo DJ, <b>fett</b>?');
    await page.click('#message-send');
    await page.waitForFunction(() => document.getElementById('notice').textContent === 'Deine Nachricht ist beim DJ.', null, { timeout: 10000 });
    const shown = await page.textContent('#thread li.me');
    check('a message to the DJ', shown.includes('Hallo DJ, <b>fett</b>?'), shown);
  });

  await attempt('a second message right away is refused in German', async () => {
    await page.fill('#message-input', 'Noch was');
    await page.click('#message-send');
    await page.waitForFunction(() => /^Bitte warte noch \d+ Sekunden bis zur nächsten Nachricht\.$/.test(document.getElementById('notice').textContent), null, { timeout: 10000 });
    check('a second message right away is refused in German', true, await page.textContent('#notice'));
  });

  // The DJ confirms and answers in the live session.
  const dj = await ask({ op: 'sent', requestId, guestName: evil });
  check('the DJ saw both in the live session', dj.ok, dj.detail || '');

  await attempt('the confirmation reaches the page', async () => {
    await page.waitForFunction(
      (id) => { const li = document.querySelector(`#requests li[data-id="${id}"] .state`); return li && li.textContent === 'kommt bald'; },
      requestId, { timeout: 15000 });
    check('the confirmation reaches the page', true);
  });
  await attempt('the reply reaches the page', async () => {
    await page.waitForFunction(() => [...document.querySelectorAll('#thread li.dj')].some((li) => li.textContent.includes('Kommt gleich!')), null, { timeout: 15000 });
    check('the reply reaches the page', true);
  });
  await attempt('the broadcast reaches the page', async () => {
    await page.waitForFunction(() => document.getElementById('broadcasts').textContent.includes('Letzte Runde!'), null, { timeout: 15000 });
    check('the broadcast reaches the page', true);
  });
  await attempt('a new page of the same guest keeps the thread', async () => {
    await page.reload();
    await page.waitForFunction(() => document.querySelectorAll('#thread li').length === 2, null, { timeout: 10000 });
    const hello = await page.textContent('#hello-text');
    check('a new page of the same guest keeps the thread', hello.includes(evil), hello);
  });

  const shot = join(args.artefacts, 'guest-page.png');
  await page.screenshot({ path: shot, fullPage: true });
  check('screenshot', true, shot);
  check('no script errors and nothing injected', pageErrors.length === 0 && !(await page.evaluate(() => window.__pwned === 1)), pageErrors.join(' | '));
}

main()
  .catch((e) => check('browser run', false, e.message))
  .finally(async () => {
    if (browser) await browser.close();
    process.stdout.write(JSON.stringify({ op: 'done', results }) + '\n');
    process.exit(results.every((r) => r.ok) ? 0 : 1);
  });
