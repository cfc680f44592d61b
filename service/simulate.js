'use strict';
// Simulated guests for `floorvote demo`: N guests at a time on an event's guest channel, each
// sending requests, votes and messages at a human pace, then leaving for a new guest. They use
// the same channel and the same limits as the guest page.
//   node simulate.js --url http://127.0.0.1:PORT --event EVENT_ID [--guests 5] [--pace 1]
// Ends when its standard input ends (started through a pipe) or on SIGTERM/SIGINT.

const fs = require('fs');
const { io } = require('socket.io-client');

function argValue(name, def) {
  const i = process.argv.indexOf(name);
  return i >= 0 && i + 1 < process.argv.length ? process.argv[i + 1] : def;
}
const url = argValue('--url', 'http://127.0.0.1:8080');
const eventId = argValue('--event', 'demo');
const slots = Math.max(0, Math.min(200, Number(argValue('--guests', '5')) || 0));
// 1 is a human pace; tests make the guests quicker.
const pace = Math.max(0.01, Number(argValue('--pace', '1')) || 1);

const names = ['Lena', 'Jonas', 'Mia', 'Paul', 'Emma', 'Finn', 'Hannah', 'Luca', 'Sophie', 'Ben', 'Lea', 'Elias',
  'Marie', 'Noah', 'Clara', 'Felix', 'Lina', 'Tim', 'Ida', 'Max', 'Nele', 'Jan', 'Pia', 'Tom'];
const messages = ['Geiler Abend! 🎉', 'Kannst du was Schnelleres spielen?', 'Grüße an Tisch 4!',
  'Bitte mehr 90er!', 'Danke für die Musik!', 'Heute hat Anna Geburtstag 🎂', 'Wann kommt der nächste Wunsch dran?',
  'Die Tanzfläche ist voll 🔥', 'Spielst du auch was auf Deutsch?', 'Noch eine Stunde, bitte!'];
const freeWishes = [['Tage wie diese', 'Die Toten Hosen'], ['Atemlos durch die Nacht', 'Helene Fischer'],
  ['Mr. Brightside', 'The Killers'], ['Wonderwall', 'Oasis'], ['Dancing Queen', 'ABBA']];

const pick = (list) => list[Math.floor(Math.random() * list.length)];
const between = (a, b) => a + Math.random() * (b - a);
let stopping = false;
const sleepers = new Set();
function sleep(seconds) {
  return new Promise((resolve) => {
    const t = setTimeout(() => { sleepers.delete(t); resolve(); }, seconds * 1000 * pace);
    sleepers.add(t);
  });
}
const say = (line) => process.stdout.write(line + '\n');
process.stdout.on('error', () => {});

let tracks = [];
async function loadTracks() {
  try {
    const r = await fetch(`${url}/api/events/${encodeURIComponent(eventId)}/tracks`);
    if (r.ok) tracks = ((await r.json()).tracks || []).filter((t) => t && !t.hidden);
  } catch (e) {
    tracks = [];
  }
}

// What the guests know of the event's requests, shared as a real room's talk would be.
const open = new Map();

function ask(socket, event, payload) {
  return new Promise((resolve) => {
    socket.timeout(10000).emit(event, payload, (err, answer) => resolve(err || !answer ? { ok: false, error: 'keine Antwort' } : answer));
  });
}

async function oneGuest(slot) {
  const name = pick(names);
  const sessionId = `sim-${slot}-${Date.now().toString(36)}-${Math.random().toString(36).slice(2, 8)}`;
  const socket = io(url, { path: '/ws/', transports: ['websocket'] });
  const mine = new Set();
  const voted = new Set();
  socket.on('requests-changed', (p) => {
    if (!p) return;
    for (const r of p.added || []) if (r.status === 'pending') open.set(r.id, r);
    for (const c of p.changed || []) if (c.status !== 'pending') open.delete(c.id);
  });
  await new Promise((resolve) => { socket.once('connect', resolve); socket.once('connect_error', resolve); });
  const joined = await ask(socket, 'guest-join', { eventId, sessionId, name });
  if (!joined.ok) {
    say(`${name}: ${joined.error}`);
    socket.close();
    return;
  }
  for (const r of joined.requests || []) if (r.status === 'pending') open.set(r.id, r);
  const maxRequests = (joined.event.limits && joined.event.limits.requests) || 3;
  let requests = 0;
  const actions = 4 + Math.floor(Math.random() * 5);
  for (let i = 0; i < actions && !stopping; i++) {
    await sleep(i === 0 ? between(2, 12) : between(12, 40));
    if (stopping || !socket.connected) break;
    const roll = Math.random();
    const candidates = [...open.values()].filter((r) => !mine.has(r.id) && !voted.has(r.id));
    if (requests < maxRequests && (roll < 0.5 || !candidates.length)) {
      const t = tracks.length && Math.random() < 0.85 ? pick(tracks) : null;
      const wish = t ? { trackId: t.id } : (([title, artist]) => ({ title, artist }))(pick(freeWishes));
      const a = await ask(socket, 'guest-request', wish);
      if (a.ok) {
        requests++;
        mine.add(a.request.id);
        voted.add(a.request.id);
        say(`${name} wünscht sich „${a.request.title}“ – ${a.request.artist}${a.duplicate ? ' (schon gewünscht)' : ''}`);
      } else {
        say(`${name}: ${a.error}`);
      }
    } else if (roll < 0.8 && candidates.length) {
      const r = pick(candidates);
      const a = await ask(socket, 'guest-vote', { requestId: r.id });
      if (a.ok) {
        voted.add(r.id);
        say(`${name} stimmt für „${r.title}“`);
      }
    } else {
      const a = await ask(socket, 'guest-message', { content: pick(messages) });
      say(a.ok ? `${name} schreibt: ${a.message.content}` : `${name}: ${a.error}`);
    }
  }
  socket.close();
}

async function slot(i) {
  await sleep(i * between(1, 3));
  while (!stopping) {
    try {
      await oneGuest(i);
    } catch (e) {
      say('Gast-Simulation: ' + e.message);
    }
    if (!stopping) await sleep(between(5, 20));
  }
}

function stop() {
  stopping = true;
  for (const t of sleepers) clearTimeout(t);
  setTimeout(() => process.exit(0), 200);
}
process.on('SIGINT', stop);
process.on('SIGTERM', stop);
try {
  if (fs.fstatSync(0).isFIFO()) {
    process.stdin.on('end', stop);
    process.stdin.on('error', stop);
    process.stdin.resume();
  }
} catch (e) {
  // no standard input
}

loadTracks().then(() => {
  say(`${slots} simulierte Gäste für ${url}/e/${eventId}`);
  for (let i = 0; i < slots; i++) slot(i);
});
