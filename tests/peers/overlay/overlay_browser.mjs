// Drives the real overlay page in headless Chromium against the real overlay server.
//
// The test program that runs this script owns the server. We ask it for actions with one JSON
// line on stdout ({"op": "send" | "config" | "stop" | "start" | "clients", ...}) and read its
// answer line on stdin. The last line is {"op": "done", "results": [{name, ok, detail}]}.
// Exit code 0 when every check passed.
//
//   node overlay_browser.mjs --port N --artefacts DIR --editing-page FILE
import { chromium } from 'playwright-core';
import { createInterface } from 'node:readline';
import { mkdirSync } from 'node:fs';
import { join } from 'node:path';

const args = Object.fromEntries(
  process.argv.slice(2).reduce((acc, a, i, all) => (a.startsWith('--') ? [...acc, [a.slice(2), all[i + 1]]] : acc), []),
);
const port = Number(args.port);
const artefacts = args.artefacts;
const editingPage = args['editing-page'];
const base = `http://127.0.0.1:${port}`;

// ---- the line protocol with the test program --------------------------------------------------
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
const send = (event, force = false) => ask({ op: 'send', event, force });
const setConfig = (set, push = true) => ask({ op: 'config', set, push });

const results = [];
function check(name, ok, detail = '') {
  results.push({ name, ok: !!ok, detail: String(detail) });
  process.stderr.write(`[overlay_browser] ${ok ? 'ok  ' : 'FAIL'} ${name}${detail ? ' – ' + detail : ''}\n`);
}
const sleep = (ms) => new Promise((r) => setTimeout(r, ms));

// ---- page helpers ---------------------------------------------------------------------------------
// Records every change of a widget's visibility with the page's own clock, so timing checks do
// not depend on how fast this script happens to run.
async function watchWidgets(page) {
  await page.evaluate(() => {
    window.__fvLog = [];
    window.__fvAnimStarts = {};
    for (const el of document.querySelectorAll('.widget')) {
      let last = el.classList.contains('visible');
      new MutationObserver(() => {
        const now = el.classList.contains('visible');
        // A restart (remove, add) inside one task is still a new show.
        window.__fvLog.push({ id: el.id, t: performance.now(), visible: now, changed: now !== last });
        last = now;
      }).observe(el, { attributes: true, attributeFilter: ['class'] });
      el.addEventListener('animationstart', (e) => {
        if (e.target === el) window.__fvAnimStarts[el.id] = (window.__fvAnimStarts[el.id] || 0) + 1;
      });
    }
  });
}
const log = (page) => page.evaluate(() => window.__fvLog);
const visible = (page, id) => page.evaluate((i) => document.getElementById(i).classList.contains('visible'), id);
const text = (page, id) => page.evaluate((i) => document.getElementById(i).textContent, id);
async function waitVisible(page, id, want = true, timeout = 5000) {
  try {
    await page.waitForFunction(([i, w]) => document.getElementById(i).classList.contains('visible') === w, [id, want], {
      timeout,
    });
    return true;
  } catch {
    return false;
  }
}

// Frames the page received, by type.
function trackSockets(page) {
  const state = { sockets: [], frames: [] };
  page.on('websocket', (ws) => {
    state.sockets.push(ws);
    ws.on('framereceived', (f) => {
      try {
        state.frames.push(JSON.parse(f.payload));
      } catch {}
    });
  });
  return state;
}
async function until(pred, timeout = 5000, step = 50) {
  const end = Date.now() + timeout;
  while (Date.now() < end) {
    if (await pred()) return true;
    await sleep(step);
  }
  return false;
}

let browser = null;
async function main() {
  mkdirSync(artefacts, { recursive: true });
  browser = await chromium.launch({
    executablePath: '/usr/bin/chromium',
    args: [
      '--headless',
      '--no-sandbox',
      '--disable-gpu',
      '--disable-background-networking',
      // Another name for loopback, standing in for "another machine's address".
      '--host-resolver-rules=MAP overlay-remote.test 127.0.0.1',
    ],
  });
  const context = await browser.newContext({ viewport: { width: 1280, height: 720 } });
  // No web fonts in tests: the page must work without them.
  await context.route(/fonts\.(googleapis|gstatic)\.com/, (r) => r.abort());
  const page = await context.newPage();
  const ws = trackSockets(page);

  // 1. The page loads from any path and connects by itself; the initial state arrives.
  const response = await page.goto(`${base}/any/path?from=obs`);
  check('page loads from any path', response && response.status() === 200 && (await page.$('#w-nowplaying')), response?.status());
  const connected = await until(() => ws.frames.some((f) => f.type === 'initialState'));
  check('page connects and gets the initial state', connected, JSON.stringify(ws.frames.map((f) => f.type)));
  check('initial guest count shown', (await text(page, 'gc-count')) === '7' && (await visible(page, 'w-guestcount')),
    await text(page, 'gc-count'));
  await watchWidgets(page);

  // 2. nowPlaying shows the widget and hides it after nowPlayingDuration (2 s in the test config).
  await send({ type: 'nowPlaying', title: 'Song A', artist: 'Band A', upVotes: 3, downVotes: 1 });
  const shownA = await waitVisible(page, 'w-nowplaying');
  check('nowPlaying shows the widget', shownA && (await text(page, 'np-title')) === 'Song A' &&
    (await text(page, 'np-artist')) === 'Band A', await text(page, 'np-title'));
  const fill = await page.evaluate(() => document.getElementById('np-vote-fill').style.width);
  const votesShown = await page.evaluate(() => getComputedStyle(document.getElementById('np-votes')).display !== 'none');
  check('votes render the fill percentage', fill === '75%' && votesShown && (await text(page, 'np-up')).endsWith('3'), fill);
  await send({ type: 'nowPlayingVotes', upVotes: 1, downVotes: 2 });
  const fill2 = await until(async () => (await page.evaluate(() => document.getElementById('np-vote-fill').style.width)) === '33%');
  check('nowPlayingVotes re-renders the votes', fill2 && (await text(page, 'np-down')).endsWith('2'));
  const hiddenA = await waitVisible(page, 'w-nowplaying', false, 8000);
  let entries = (await log(page)).filter((e) => e.id === 'w-nowplaying');
  const showA = entries.find((e) => e.visible), hideA = entries.find((e) => !e.visible && e.t > (showA?.t ?? 0));
  const shownFor = showA && hideA ? (hideA.t - showA.t) / 1000 : -1;
  check('the widget hides after nowPlayingDuration', hiddenA && shownFor > 1.8 && shownFor < 3.5, `${shownFor.toFixed(2)} s`);

  // 3. A second nowPlaying during the display time restarts the animation and the hide timer.
  await page.evaluate(() => { window.__fvLog = []; window.__fvAnimStarts = {}; });
  await send({ type: 'nowPlaying', title: 'Song B', artist: 'Band B' });
  await waitVisible(page, 'w-nowplaying');
  await sleep(1000);
  await send({ type: 'nowPlaying', title: 'Song C', artist: 'Band C' });
  await until(async () => (await text(page, 'np-title')) === 'Song C');
  await waitVisible(page, 'w-nowplaying', false, 8000);
  entries = (await log(page)).filter((e) => e.id === 'w-nowplaying');
  const shows = entries.filter((e) => e.visible), hides = entries.filter((e) => !e.visible && e.changed);
  const lastShow = shows[shows.length - 1], firstHide = hides[0];
  const restartGap = lastShow && shows[0] ? (lastShow.t - shows[0].t) / 1000 : -1;
  const afterSecond = lastShow && firstHide ? (firstHide.t - lastShow.t) / 1000 : -1;
  const animStarts = await page.evaluate(() => window.__fvAnimStarts['w-nowplaying'] || 0);
  check('a second nowPlaying restarts the hide timer',
    shows.length >= 2 && hides.length === 1 && firstHide.t > lastShow.t && afterSecond > 1.8 && afterSecond < 3.5 && restartGap > 0.5,
    `shows=${shows.length} hides=${hides.length} restart after ${restartGap.toFixed(2)} s, hidden ${afterSecond.toFixed(2)} s after it`);
  check('a second nowPlaying restarts the entrance animation', animStarts >= 2, `animationstart x${animStarts}`);

  // 4. Disabled widgets ignore their events (broadcast is off in the test config). Events are
  //    handled in order, so once the request shows, the broadcast was already seen.
  await send({ type: 'broadcast', content: 'Sollte nicht erscheinen' });
  await send({ type: 'requestAccepted', title: 'Titel <b>fett</b>', artist: 'Band & Co',
    guestName: '<img src=x onerror="window.__pwned=1">' });
  await waitVisible(page, 'w-request');
  check('a disabled widget ignores its events', !(await visible(page, 'w-broadcast')) && (await text(page, 'bc-content')) === '',
    await text(page, 'bc-content'));

  // 5. Guest texts are shown as text, never parsed as HTML.
  await sleep(300);
  const guest = await text(page, 'req-guest');
  const injected = await page.evaluate(() => ({
    pwned: window.__pwned === 1,
    img: !!document.querySelector('#w-request img'),
    bold: !!document.querySelector('#req-title b'),
  }));
  check('a guest name with markup is shown as text',
    guest === '\u2014 von <img src=x onerror="window.__pwned=1">' && !injected.pwned && !injected.img && !injected.bold &&
      (await text(page, 'req-title')) === 'Titel <b>fett</b>',
    `${guest} ${JSON.stringify(injected)}`);

  // 6. The DJ's ad goes in as HTML and hides after adWidgetDuration.
  await send({ type: 'adShow', adHtml: '<div id="dj-ad"><b>Happy Hour</b> bis 22 Uhr</div>' });
  const adShown = await waitVisible(page, 'w-ad');
  const adInside = await page.evaluate(() => !!document.querySelector('#w-ad-content #dj-ad b'));
  const adHidden = await waitVisible(page, 'w-ad', false, 6000);
  check('adShow inserts the ad HTML and hides it again', adShown && adInside && adHidden);

  // 7. "config" reloads the page, which then carries the new look.
  await page.evaluate(() => { window.__marker = 'before'; });
  const reloaded = page.waitForEvent('load', { timeout: 10000 }).then(() => true, () => false);
  const framesBefore = ws.frames.length;
  await setConfig({ selectedPreset: '80s Synthwave', nowPlayingVoteStyle: 'counter' });
  const didReload = await reloaded;
  const marker = await page.evaluate(() => window.__marker);
  const primary = await page.evaluate(() => getComputedStyle(document.documentElement).getPropertyValue('--primary').trim());
  check('"config" reloads the page with the new configuration', didReload && marker === undefined && primary === '#FF2D78',
    `reloaded=${didReload} marker=${marker} --primary=${primary}`);
  await until(() => ws.frames.slice(framesBefore).some((f) => f.type === 'initialState'));
  await send({ type: 'nowPlaying', title: 'Zähler', artist: 'Stil', upVotes: 5, downVotes: 5 });
  await waitVisible(page, 'w-nowplaying');
  const counter = await page.evaluate(() => ({
    cls: document.getElementById('np-votes').className,
    bar: getComputedStyle(document.querySelector('.np-vote-bar')).display,
  }));
  check('the counter vote style hides the bar', counter.cls.includes('style-counter') && counter.bar === 'none', JSON.stringify(counter));

  // 8. The page reconnects by itself after the server restarts.
  const socketsBefore = ws.sockets.length;
  const framesAtStop = ws.frames.length;
  const closed = ws.sockets[ws.sockets.length - 1].waitForEvent('close', { timeout: 10000 }).then(() => true, () => false);
  await ask({ op: 'stop' });
  const sawClose = await closed;
  await sleep(1500);  // at least one reconnect attempt fails while the server is down
  await ask({ op: 'start' });
  const reconnected = await until(() => ws.sockets.length > socketsBefore && ws.frames.length > framesAtStop, 15000);
  let clients = 0;
  await until(async () => (clients = (await ask({ op: 'clients' })).clients) >= 1, 5000);
  await send({ type: 'nowPlaying', title: 'Nach dem Neustart', artist: 'Band' });
  const afterRestart = await until(async () => (await text(page, 'np-title')) === 'Nach dem Neustart', 5000);
  check('the page reconnects after the server restarts', sawClose && reconnected && clients >= 1 && afterRestart,
    `close=${sawClose} reconnected=${reconnected} clients=${clients}`);

  // 9. Served under another host name, the page shows but never connects.
  const remote = await context.newPage();
  const remoteWs = trackSockets(remote);
  remote.on('requestfailed', (r) => {
    if (!/fonts\./.test(r.url())) process.stderr.write(`[overlay_browser] request failed: ${r.url()} ${r.failure()?.errorText}\n`);
  });
  const r2 = await remote.goto(`http://overlay-remote.test:${port}/`, { waitUntil: 'domcontentloaded', timeout: 15000 });
  await sleep(1500);
  check('the page opened from another host never connects', r2 && r2.status() === 200 && remoteWs.sockets.length === 0,
    `sockets=${remoteWs.sockets.length}`);
  await remote.close();

  // 10. Screenshots of two presets with every widget shown.
  const shots = [];
  for (const preset of ['Futuristic', '80s Synthwave']) {
    const load = page.waitForEvent('load', { timeout: 10000 }).catch(() => null);
    await setConfig({
      selectedPreset: preset, showBroadcast: true, showSponsor: true, sponsorName: 'Brauhaus Müller',
      nowPlayingDuration: 0, requestDuration: 0, broadcastDuration: 0, nowPlayingVoteStyle: 'bar',
    });
    await load;
    await until(() => page.evaluate(() => document.readyState === 'complete'));
    await sleep(300);
    await send({ type: 'nowPlaying', title: 'Blue Monday', artist: 'New Order', upVotes: 12, downVotes: 3 });
    await send({ type: 'requestAccepted', title: 'Dancing Queen', artist: 'ABBA', guestName: 'Lena' });
    await send({ type: 'broadcast', content: 'Letzte Runde um 2 Uhr – danke fürs Feiern!' });
    await send({ type: 'guestCount', guestCount: 128 });
    await waitVisible(page, 'w-broadcast');
    await sleep(1500);  // entrance animations done
    await page.evaluate(() => { document.body.style.background = 'linear-gradient(135deg,#1f2937,#4b5563)'; });
    const file = join(artefacts, `overlay-${preset.toLowerCase().replace(/[^a-z0-9]+/g, '-')}.png`);
    await page.screenshot({ path: file });
    shots.push(file);
  }
  check('screenshots of two presets', shots.length === 2, shots.join(' '));

  // 11. The editing preview: drag and resize post positionUpdate messages to the host.
  if (editingPage) {
    const edit = await context.newPage();
    await edit.addInitScript(() => {
      window.__posted = [];
      window.webkit = { messageHandlers: { positionUpdate: { postMessage: (m) => window.__posted.push(m) } } };
    });
    const editWs = trackSockets(edit);
    await edit.goto('file://' + editingPage);
    // The entrance animation moves the widget; grab it once it stands still.
    await edit.waitForFunction(() =>
      document.getElementById('w-nowplaying').getAnimations().every((a) => a.playState === 'finished'));
    const box = await edit.locator('#w-nowplaying').boundingBox();
    await edit.mouse.move(box.x + box.width / 2, box.y + box.height / 2);
    await edit.mouse.down();
    await edit.mouse.move(640, 360, { steps: 8 });
    await edit.mouse.up();
    const moved = await edit.evaluate(() => window.__posted[0]);
    const box2 = await edit.locator('#w-nowplaying').boundingBox();
    const hx = box2.x + box2.width - 2, hy = box2.y + box2.height - 2;
    await edit.mouse.move(hx, hy);
    await edit.mouse.down();
    await edit.mouse.move(hx + 120, hy + 40, { steps: 8 });
    await edit.mouse.up();
    const resized = await edit.evaluate(() => window.__posted[1]);
    check('editing: a drag posts the centre in percent',
      moved && moved.widget === 'w-nowplaying' && moved.x === 50 && moved.y === 50 && moved.scale === -1, JSON.stringify(moved));
    check('editing: a resize posts the new scale',
      resized && resized.widget === 'w-nowplaying' && resized.x === -1 && resized.y === -1 && resized.scale > 1 &&
        resized.scale <= 3 && Math.abs(resized.scale * 20 - Math.round(resized.scale * 20)) < 1e-9,
      JSON.stringify(resized));
    check('editing: the preview never connects', editWs.sockets.length === 0);
    await edit.close();
  }

  await browser.close();
}

main()
  .catch((e) => check('script ran to the end', false, e && e.stack ? e.stack : e))
  .finally(async () => {
    if (browser) await browser.close().catch(() => {});
    process.stdout.write(JSON.stringify({ op: 'done', results }) + '\n');
    process.exitCode = results.every((r) => r.ok) ? 0 : 1;
    lines.close();
  });
