// Drives the DJ's control panel of a real `floorvote run` in headless Chromium, with the local
// event service (test mode) and the VirtualDJ peer behind it.
//
// The test program starts the service, the peer and `floorvote run`, then this script with the
// panel's address. Every check looks at both sides: what the page shows and what the service
// holds. Results go to stdout as one JSON line {"op": "done", "results": [{name, ok, detail}]};
// exit code 0 when every check passed.
//
//   node panel_browser.mjs --url http://127.0.0.1:P/?token=T --service http://127.0.0.1:S
//                          --vdj http://127.0.0.1:V --vdj-list FILE --artefacts DIR
import { chromium } from 'playwright-core';
import http from 'node:http';
import { mkdirSync, readFileSync, existsSync } from 'node:fs';
import { join } from 'node:path';

const args = Object.fromEntries(
  process.argv.slice(2).reduce((acc, a, i, all) => (a.startsWith('--') ? [...acc, [a.slice(2), all[i + 1]]] : acc), []),
);
const panelUrl = new URL(args.url);
const port = Number(panelUrl.port);
const token = panelUrl.searchParams.get('token');
const base = `http://127.0.0.1:${port}`;
const service = args.service;
const vdj = args.vdj;
const artefacts = args.artefacts;

const results = [];
function check(name, ok, detail = '') {
  results.push({ name, ok: !!ok, detail: String(detail) });
  process.stderr.write(`[panel_browser] ${ok ? 'ok  ' : 'FAIL'} ${name}${detail ? ' – ' + detail : ''}\n`);
}
const sleep = (ms) => new Promise((r) => setTimeout(r, ms));
async function until(pred, timeout = 8000, step = 50) {
  const end = Date.now() + timeout;
  while (Date.now() < end) {
    try {
      if (await pred()) return true;
    } catch {}
    await sleep(step);
  }
  return false;
}

// ---- the service and the VirtualDJ peer -----------------------------------------------------------
async function admin(root, method, path, body) {
  const r = await fetch(root + path, {
    method,
    headers: { 'content-type': 'application/json' },
    body: body === undefined ? undefined : JSON.stringify(body),
  });
  return r.json();
}
const event = async () => (await admin(service, 'GET', '/__admin/state')).events.ev1;
const onService = async (id) => (await event()).requests.find((r) => r.id === id);
const received = async () => (await admin(service, 'GET', '/__admin/received')).received;
// Changes floorvote made on the service since `from` (an index into the received list).
async function changesSince(from) {
  return (await received()).slice(from).filter((r) => r.method !== 'GET').map((r) => `${r.method} ${r.target}`);
}
const guestRequest = (id, title) => ({
  id, title, artist: 'Band', status: 'pending', vote_count: 1, track_id: 70 + id,
  created_at: `2026-01-01T20:${String(10 + id).padStart(2, '0')}:00Z`,
});
const addRequest = (id, title) => admin(service, 'POST', '/__admin/add-request', { eventId: 'ev1', request: guestRequest(id, title) });

// ---- raw HTTP, with headers a browser would never let a page choose ------------------------------
function raw(path, headers = {}, method = 'GET') {
  return new Promise((resolve) => {
    const req = http.request({ host: '127.0.0.1', port, path, method, headers: { Host: `127.0.0.1:${port}`, ...headers } });
    req.on('response', (res) => {
      res.resume();
      resolve({ status: res.statusCode, headers: res.headers });
    });
    req.on('upgrade', (res, socket) => {
      socket.destroy();
      resolve({ status: res.statusCode, headers: res.headers });
    });
    req.on('error', (e) => resolve({ status: 0, error: e.message }));
    req.end();
  });
}
const upgrade = (headers) =>
  raw('/ws', {
    Connection: 'Upgrade', Upgrade: 'websocket', 'Sec-WebSocket-Version': '13',
    'Sec-WebSocket-Key': 'dGhlIHNhbXBsZSBub25jZQ==', ...headers,
  });

// ---- a page of another origin that tries to use the panel with the DJ's cookie -----------------
function attackerServer() {
  const page = `<!doctype html><meta charset="utf-8"><title>Andere Seite</title>
<form id="f" method="POST" action="${base}/" target="sink"><input name="t" value="confirm"></form>
<iframe name="sink"></iframe>
<script>
window.outcome = { ws: 'pending' };
(async () => {
  try { await fetch('${base}/', { credentials: 'include', mode: 'no-cors' }); window.outcome.fetch = 'sent'; }
  catch (e) { window.outcome.fetch = 'failed'; }
  try { await fetch('${base}/panel.js', { credentials: 'include' }); window.outcome.read = 'read'; }
  catch (e) { window.outcome.read = 'blocked'; }
  const ws = new WebSocket('ws://127.0.0.1:${port}/ws');
  ws.onopen = () => {
    window.outcome.ws = 'open';
    ws.send(JSON.stringify({ t: 'confirm', req: 1, ids: [1, 2] }));
    ws.send(JSON.stringify({ t: 'deleteAllMessages', req: 2 }));
  };
  ws.onmessage = () => { window.outcome.heard = true; };
  ws.onerror = () => { if (window.outcome.ws === 'pending') window.outcome.ws = 'refused'; };
  ws.onclose = () => { if (window.outcome.ws === 'pending') window.outcome.ws = 'refused'; };
  document.getElementById('f').submit();
})();
</script>`;
  const server = http.createServer((req, res) => {
    res.writeHead(200, { 'content-type': 'text/html; charset=utf-8' });
    res.end(page);
  });
  return new Promise((resolve) => server.listen(0, '127.0.0.1', () => resolve(server)));
}

// ---- the panel page -------------------------------------------------------------------------------
const inList = (page, list, id) => page.$(`${list} li.req[data-id="${id}"]`);
async function showList(page, name) {
  await page.click(`.tabs button[data-list="${name}"]`);
}
async function toasts(page) {
  return page.$$eval('#toasts .toast', (all) => all.map((t) => t.textContent));
}
// The state floorvote holds, as a fresh tab of the panel's own origin receives it.
async function programState(page) {
  return page.evaluate(() => new Promise((resolve) => {
    const ws = new WebSocket('ws://' + location.host + '/ws');
    ws.onmessage = (e) => { ws.close(); resolve(JSON.parse(e.data)); };
    setTimeout(() => resolve(null), 5000);
  }));
}

let browser = null;
async function main() {
  mkdirSync(artefacts, { recursive: true });

  // 1. Without the token, with a foreign Host or Origin, from another site: 403 and nothing else.
  const before = (await received()).length;
  const noToken = await raw('/');
  const wrongToken = await raw('/?token=' + '0'.repeat(64));
  const foreignHost = await raw(`/?token=${token}`, { Host: `panel-rebind.test:${port}` });
  const first = await raw(`/?token=${token}`);
  check('no token, a wrong token or a foreign Host: 403',
    noToken.status === 403 && wrongToken.status === 403 && foreignHost.status === 403,
    [noToken.status, wrongToken.status, foreignHost.status].join(' '));
  const setCookie = String(first.headers['set-cookie'] || '');
  check('the token in the URL becomes a strict cookie', first.status === 303 && first.headers.location === '/' &&
    /SameSite=Strict/i.test(setCookie) && /HttpOnly/i.test(setCookie), `${first.status} ${setCookie}`);
  const cookie = setCookie.split(';')[0];
  const withCookie = await raw('/', { Cookie: cookie });
  const crossSite = await raw('/', { Cookie: cookie, 'Sec-Fetch-Site': 'cross-site' });
  const sameSite = await raw('/', { Cookie: cookie, 'Sec-Fetch-Site': 'same-site' });
  const foreignOrigin = await raw('/', { Cookie: cookie, Origin: 'http://evil.test' });
  const posted = await raw('/', { Cookie: cookie, Origin: 'http://evil.test', 'Content-Length': '0' }, 'POST');
  check('with the cookie the page loads, but not when another site started the request',
    withCookie.status === 200 && crossSite.status === 403 && sameSite.status === 403 && foreignOrigin.status === 403 &&
    posted.status === 403, [withCookie.status, crossSite.status, sameSite.status, foreignOrigin.status, posted.status].join(' '));
  const wsGood = await upgrade({ Cookie: cookie, Origin: base });
  const wsNoOrigin = await upgrade({ Cookie: cookie });
  const wsForeign = await upgrade({ Cookie: cookie, Origin: 'http://evil.test' });
  const wsOtherPort = await upgrade({ Cookie: cookie, Origin: `http://127.0.0.1:${port + 1}` });
  const wsNoCookie = await upgrade({ Origin: base });
  check('WebSocket upgrades need the cookie and the panel\'s own Origin',
    wsGood.status === 101 && [wsNoOrigin, wsForeign, wsOtherPort, wsNoCookie].every((r) => r.status === 403),
    [wsGood, wsNoOrigin, wsForeign, wsOtherPort, wsNoCookie].map((r) => r.status).join(' '));

  browser = await chromium.launch({
    executablePath: '/usr/bin/chromium',
    args: [
      '--headless', '--no-sandbox', '--disable-gpu', '--disable-background-networking',
      // Names that resolve to loopback, as a rebinding attacker's and another site's would.
      '--host-resolver-rules=MAP panel-rebind.test 127.0.0.1, MAP other-site.test 127.0.0.1',
    ],
  });
  const context = await browser.newContext({ viewport: { width: 1280, height: 860 }, locale: 'de-DE' });
  const page = await context.newPage();
  const pageErrors = [];
  page.on('pageerror', (e) => pageErrors.push(e.message));

  // 2. The DJ opens the printed address: the token moves into the cookie, the lists arrive.
  const response = await page.goto(panelUrl.href);
  check('the printed address opens the panel', response && response.status() === 200 && page.url() === base + '/',
    `${response?.status()} ${page.url()}`);
  const cookies = await context.cookies(base);
  check('the browser keeps the token as a strict HttpOnly cookie',
    cookies.some((c) => c.value === token && c.sameSite === 'Strict' && c.httpOnly), JSON.stringify(cookies.map((c) => c.name)));
  check('the event and the live channel show', await until(async () =>
    (await page.textContent('#event-name')) === 'Sommerfest' && (await page.textContent('#channel')) === 'Echtzeitkanal: verbunden'),
  `${await page.textContent('#event-name')} / ${await page.textContent('#channel')}`);
  check('the pending requests are listed', await until(async () => (await inList(page, '#request-list', 1)) && (await inList(page, '#request-list', 2))));
  const content = await page.$eval('li.msg[data-id="5"] .content', (e) => ({ text: e.textContent, tags: e.querySelectorAll('*').length }));
  check('a guest\'s message is shown as text, never as HTML', content.text === '<b>Hallo</b>' && content.tags === 0, JSON.stringify(content));

  // 3. Pages of other origins, with the DJ's cookie in the browser, change nothing.
  const attacker = await attackerServer();
  for (const origin of [`http://127.0.0.1:${attacker.address().port}`, `http://other-site.test:${attacker.address().port}`]) {
    const evil = await context.newPage();
    const statuses = [];
    evil.on('response', (r) => { if (r.url().startsWith(base)) statuses.push(r.status()); });
    await evil.goto(origin + '/');
    await until(async () => (await evil.evaluate(() => window.outcome.ws)) !== 'pending' && statuses.length >= 2, 5000);
    await sleep(300);
    const outcome = await evil.evaluate(() => window.outcome);
    check(`a page of ${origin.replace(/:\d+$/, '')} is refused`, outcome.ws === 'refused' && !outcome.heard &&
      outcome.read === 'blocked' && statuses.length > 0 && statuses.every((s) => s === 403),
    `${JSON.stringify(outcome)} statuses ${statuses.join(',')}`);
    await evil.close();
  }
  attacker.close();
  const rebind = await context.newPage();
  const rebound = await rebind.goto(`http://panel-rebind.test:${port}/?token=${token}`);
  check('a foreign host name for 127.0.0.1 (DNS rebinding) is refused', rebound && rebound.status() === 403, rebound?.status());
  await rebind.close();
  const ev0 = await event();
  check('the refused requests changed nothing on the service',
    (await changesSince(before)).length === 0 && ev0.requests.every((r) => r.id !== 1 && r.id !== 2 || r.status === 'pending') &&
    ev0.messages.length === 1, JSON.stringify(await changesSince(before)));

  // 4. A guest's request arrives live and stands out.
  await addRequest(4, 'Vier');
  check('a new request arrives live, highlighted', await until(async () =>
    !!(await page.$('#request-list li.req.new[data-id="4"] .badge'))), await page.textContent('#request-list'));

  // 5. Confirm from the panel, a double click confirms once.
  const r0 = (await received()).length;
  await page.dblclick('#request-list button[data-act="confirm"][data-id="4"]');
  check('confirm reaches the service', await until(async () => (await onService(4)).status === 'confirmed'));
  await sleep(500);
  const patches4 = (await changesSince(r0)).filter((c) => c === 'PATCH /api/events/ev1/requests/4');
  check('a double click confirms once', patches4.length === 1, patches4.join(', '));
  check('the confirmed request leaves the pending list', await until(async () => !(await inList(page, '#request-list', 4))));

  // 6. Decline; then several at once.
  await page.click('#request-list button[data-act="decline"][data-id="2"]');
  check('decline reaches the service', await until(async () => (await onService(2)).status === 'declined'));
  await addRequest(6, 'Sechs');
  await addRequest(7, 'Sieben');
  await until(async () => (await inList(page, '#request-list', 6)) && (await inList(page, '#request-list', 7)));
  await page.check('#request-list input[data-pick="6"]');
  await page.check('#request-list input[data-pick="7"]');
  await page.click('button[data-bulk="confirm"]');
  check('several requests are confirmed at once', await until(async () =>
    (await onService(6)).status === 'confirmed' && (await onService(7)).status === 'confirmed'));
  await showList(page, 'queue');
  check('the queue shows them', await until(async () => (await inList(page, '#request-list', 4)) && (await inList(page, '#request-list', 6))));
  await showList(page, 'pending');

  // 7. Reply to a guest, broadcast to all.
  await page.click('button[data-reply="5"]');
  await page.fill('li.msg[data-id="5"] form.reply textarea', 'Kommt gleich!');
  await page.click('li.msg[data-id="5"] form.reply button[type="submit"]');
  check('a reply reaches the service', await until(async () =>
    (await event()).messages.some((m) => m.reply_to === 5 && m.content === 'Kommt gleich!' && m.is_dj_reply)));
  await page.fill('#broadcast-text', 'Letzte Runde!');
  await page.click('#broadcast-form button[type="submit"]');
  check('a broadcast reaches the service', await until(async () =>
    ((await event()).broadcasts || []).some((b) => b.content === 'Letzte Runde!')));
  check('the broadcast field is emptied after sending', await until(async () => (await page.inputValue('#broadcast-text')) === ''));

  // 8. The online switch, and now playing from VirtualDJ once the event is online.
  check('the event starts offline', !(await event()).is_active && (await page.textContent('#online-label')) === 'offline');
  await page.click('#online-switch');
  check('the switch puts the event online', await until(async () => (await event()).is_active === true &&
    (await page.textContent('#online-label')) === 'online'));
  await admin(vdj, 'POST', '/__admin/deck', { deck: 1, title: 'Blue Monday', artist: 'New Order', master: true });
  check('now playing from the DJ software shows', await until(async () =>
    (await page.textContent('#np-title')) === 'Blue Monday' && (await page.textContent('#np-artist')) === 'New Order', 10000),
  await page.textContent('#np-title'));
  const djCard = await page.textContent('[data-card="djsoftware"]');
  check('the DJ software card shows VirtualDJ and its event playlist', /Aktiv\s*VirtualDJ/.test(djCard) &&
    /Event-Playlist/.test(djCard) && /Blue Monday/.test(djCard), djCard);
  const cdjCard = await page.textContent('[data-card="cdj"]');
  check('the CDJ library card says how to switch it on', /Modus\s*aus/.test(cdjCard) && /cdjLibraryEnabled/.test(cdjCard), cdjCard);
  check('the overlay card is there', !!(await page.$('[data-card="overlay"]')));
  await page.click('[data-card="djsoftware"] button[data-action="dj.sync"]');
  const confirmed = (await event()).requests.filter((r) => r.status === 'confirmed').length;
  check('the DJ software card writes the confirmed requests', await until(async () =>
    (await toasts(page)).includes(`${confirmed} Wünsche stehen in der Playlist.`)), `${confirmed}: ${JSON.stringify(await toasts(page))}`);
  await page.click('[data-card="djsoftware"] button[data-action="dj.refresh"]');
  check('checking again shows the event list in VirtualDJ\'s folder', await until(async () =>
    /VirtualDJ: [^\n]*1 Playlisten/.test(await page.innerText('[data-card="djsoftware"]'))),
  await page.innerText('[data-card="djsoftware"]'));
  const list = existsSync(args['vdj-list']) ? readFileSync(args['vdj-list'], 'utf8') : '';
  check('the VirtualDJ list holds them', (list.match(/<song /gi) || []).length === confirmed, list.slice(0, 300));
  await page.click('#online-switch');
  check('the switch takes the event offline again', await until(async () => (await event()).is_active === false &&
    (await page.textContent('#online-label')) === 'offline'));

  // 9. Bad input over the panel's own socket: a German answer, no change, the program goes on.
  const answers = await page.evaluate(() => new Promise((resolve) => {
    const ws = new WebSocket('ws://' + location.host + '/ws');
    const got = [];
    ws.onmessage = (e) => {
      const m = JSON.parse(e.data);
      if (m.t !== 'state') got.push(m);
      if (got.length === 5) { ws.close(); resolve(got); }
    };
    ws.onopen = () => {
      ws.send('kein json');
      ws.send('{"t":"tanzen","req":3}');
      ws.send('{"t":"confirm","req":4,"ids":[999]}');
      ws.send('{"t":"reply","req":5,"messageId":424242,"text":"Hallo?"}');
      ws.send('{"t":"confirm","req":6,"ids":[-1]}');
    };
    setTimeout(() => resolve(got), 6000);
  }));
  const byReq = (r) => answers.find((a) => a.req === r) || {};
  check('garbage, unknown commands and unknown ids get German answers',
    answers.length === 5 && answers.some((a) => a.t === 'error' && a.text === 'Die Nachricht ist unverständlich.') &&
    byReq(3).text === 'Unbekannter Befehl vom Bedienfeld.' && /#999 gibt es nicht/.test(JSON.stringify(byReq(4).failures)) &&
    /gibt es nicht/.test(byReq(5).text) && byReq(6).ok === false, JSON.stringify(answers));

  // 10. A second tab sees what the first does; both confirming the same request changes it once.
  const second = await context.newPage();
  await second.goto(base + '/');
  check('a second tab opens with the cookie alone', await until(async () => (await second.textContent('#event-name')) === 'Sommerfest'));
  await addRequest(8, 'Acht');
  await until(async () => (await inList(page, '#request-list', 8)) && (await inList(second, '#request-list', 8)));
  const r1 = (await received()).length;
  // Both at once: whichever tab hears of the other's change first has nothing left to click.
  const clickNow = (p) => p.evaluate(() => {
    const b = document.querySelector('#request-list button[data-act="confirm"][data-id="8"]');
    if (b) b.click();
    return !!b;
  });
  const clicked = await Promise.all([clickNow(page), clickNow(second)]);
  check('both tabs confirming one request change it once', await until(async () => (await onService(8)).status === 'confirmed') &&
    (await changesSince(r1)).filter((c) => c.endsWith('/requests/8')).length === 1,
  `clicked ${JSON.stringify(clicked)}: ${JSON.stringify(await changesSince(r1))}`);
  check('both tabs show it confirmed', await until(async () => !(await inList(page, '#request-list', 8)) && !(await inList(second, '#request-list', 8))));
  await second.close();
  await addRequest(9, 'Neun');
  check('after a tab is closed the other one stays live', await until(async () => !!(await inList(page, '#request-list', 9))));

  // 11. Deleting every message asks first.
  page.once('dialog', (d) => d.dismiss());
  await page.click('#delete-all');
  await sleep(700);
  check('declining the question deletes nothing', (await event()).messages.length >= 2);
  page.once('dialog', (d) => d.accept());
  await page.click('#delete-all');
  check('accepting it deletes every message', await until(async () => (await event()).messages.length === 0 &&
    (await page.isVisible('#message-empty'))));

  // The pictures show the panel, not the pile of answers this quick run leaves on it.
  await page.evaluate(() => document.querySelectorAll('#toasts .toast').forEach((t) => t.remove()));
  await page.screenshot({ path: join(artefacts, 'panel-full.png'), fullPage: true });

  // 12. Compact mode on a narrow second screen.
  await page.setViewportSize({ width: 420, height: 860 });
  await page.click('#compact-toggle');
  check('compact mode shows the narrow column', await until(async () => (await page.isVisible('#compact')) &&
    (await page.isHidden('#full')) && page.url().endsWith('#kompakt')));
  check('compact mode lists the queue and the pending requests', await until(async () =>
    !!(await inList(page, '#compact-queue', 4)) && !!(await inList(page, '#compact-pending', 9))));
  await page.click('#compact-pending button[data-act="confirm"][data-id="9"]');
  check('confirm works in compact mode', await until(async () => (await onService(9)).status === 'confirmed'));
  await page.evaluate(() => document.querySelectorAll('#toasts .toast').forEach((t) => t.remove()));
  await page.screenshot({ path: join(artefacts, 'panel-compact.png'), fullPage: true });
  await page.reload();
  check('compact mode survives a reload', await until(async () => (await page.isVisible('#compact')) && (await page.isHidden('#full'))));

  // 13. In the end the program's lists are the service's.
  const st = await programState(page);
  const ev = await event();
  const mismatched = ev.requests.filter((r) => {
    const mine = (st?.requests?.upsert || []).find((x) => x.id === r.id);
    return !mine || mine.status !== r.status;
  });
  check('the panel\'s lists match the service', st && mismatched.length === 0 &&
    (st.requests.upsert || []).length === ev.requests.length, JSON.stringify(mismatched));
  check('the page ran without script errors', pageErrors.length === 0, pageErrors.join('; '));
}

try {
  await main();
} catch (e) {
  check('the browser script ran to its end', false, e.stack || e.message);
} finally {
  if (browser) await browser.close().catch(() => {});
  process.stdout.write(JSON.stringify({ op: 'done', results }) + '\n');
  process.exitCode = results.every((r) => r.ok) ? 0 : 1;
}
