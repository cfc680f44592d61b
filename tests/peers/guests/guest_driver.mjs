// Guests of the local event service, driven line by line from a test or a benchmark: each input
// line is one JSON command, each output line one JSON answer. Speaks the guest side of the
// realtime channel with the real socket.io client, as the guest page does.
//
//   {"op":"connect","id":"a","url":"http://127.0.0.1:N"[,"origin":"http://elsewhere"]}
//   {"op":"ask","id":"a","seq":1,"event":"guest-join","payload":{...}}   -> {"seq":1,"answer":{...}}
//   {"op":"emit","id":"a","seq":2,"event":"guest-request","payload":...} -> {"seq":2,"sent":true}
//   {"op":"received","id":"a","seq":3}                                  -> {"seq":3,"events":[[name, payload], ...]}
//   {"op":"disconnect","id":"a"}
//   {"op":"burst","seq":4,"url":...,"eventId":...,"guests":N,"prefix":"b","vote":true}
//       -> one {"seq":4,"acked":ID,"sentAt":ms,"ackAt":ms} per stored request, then per vote
//          {"seq":4,"voted":ID,...}, then {"seq":4,"done":true,"acked":n,"voted":n,"failed":n}
import { createRequire } from 'node:module';
import { createInterface } from 'node:readline';
import { fileURLToPath } from 'node:url';
import { dirname, join } from 'node:path';

const here = dirname(fileURLToPath(import.meta.url));
const require = createRequire(join(here, '..', '..', '..', 'service', 'package.json'));
const { io } = require('socket.io-client');

const sockets = new Map();
const inbox = new Map();
const out = (o) => process.stdout.write(JSON.stringify(o) + '\n');
const now = () => performance.timeOrigin + performance.now();

function connect(url, origin) {
  const extraHeaders = origin ? { Origin: origin } : undefined;
  return io(url, { path: '/ws/', transports: ['websocket'], reconnection: false, forceNew: true, extraHeaders });
}

function ask(socket, event, payload, timeoutMs = 10000) {
  return new Promise((resolve) => {
    socket.timeout(timeoutMs).emit(event, payload, (err, answer) => resolve(err ? null : answer));
  });
}

async function burst(cmd) {
  const n = cmd.guests;
  const guests = [];
  let acked = 0, voted = 0, failed = 0;
  await Promise.all(Array.from({ length: n }, (_, i) => new Promise((resolve) => {
    const s = connect(cmd.url);
    s.on('connect', resolve);
    s.on('connect_error', () => { failed++; resolve(); });
    guests.push(s);
  })));
  await Promise.all(guests.map((s, i) => ask(s, 'guest-join', {
    eventId: cmd.eventId, sessionId: `${cmd.prefix}-session-${i}`, name: `${cmd.prefix} Gast ${i}`,
  })));
  const ids = new Array(n).fill(null);
  await Promise.all(guests.map(async (s, i) => {
    const sentAt = now();
    const a = await ask(s, 'guest-request', { title: `${cmd.prefix} Titel ${i}`, artist: 'Burst' });
    const ackAt = now();
    if (a && a.ok) {
      ids[i] = a.request.id;
      acked++;
      out({ seq: cmd.seq, acked: a.request.id, title: a.request.title, sentAt, ackAt });
    } else {
      failed++;
    }
  }));
  if (cmd.vote) {
    await Promise.all(guests.map(async (s, i) => {
      const target = ids[(i + 1) % n];
      if (target === null) return;
      const sentAt = now();
      const a = await ask(s, 'guest-vote', { requestId: target });
      const ackAt = now();
      if (a && a.ok) {
        voted++;
        out({ seq: cmd.seq, voted: target, sentAt, ackAt });
      } else {
        failed++;
      }
    }));
  }
  for (const s of guests) s.close();
  out({ seq: cmd.seq, done: true, acked, voted, failed });
}

const rl = createInterface({ input: process.stdin });
rl.on('line', async (line) => {
  let cmd;
  try {
    cmd = JSON.parse(line);
  } catch (e) {
    return out({ error: 'not JSON: ' + line });
  }
  const s = sockets.get(cmd.id);
  switch (cmd.op) {
    case 'connect': {
      const socket = connect(cmd.url, cmd.origin);
      sockets.set(cmd.id, socket);
      inbox.set(cmd.id, []);
      socket.onAny((name, payload) => inbox.get(cmd.id).push([name, payload === undefined ? null : payload]));
      socket.on('connect', () => out({ op: 'connected', id: cmd.id, ok: true }));
      socket.on('connect_error', (e) => out({ op: 'connected', id: cmd.id, ok: false, error: e.message }));
      return undefined;
    }
    case 'ask':
      return out({ seq: cmd.seq, answer: s ? await ask(s, cmd.event, cmd.payload, cmd.timeoutMs || 5000) : null });
    case 'emit':
      if (s) s.emit(cmd.event, cmd.payload);
      return out({ seq: cmd.seq, sent: !!s });
    case 'received': {
      const events = inbox.get(cmd.id) || [];
      inbox.set(cmd.id, []);
      return out({ seq: cmd.seq, events, connected: !!(s && s.connected) });
    }
    case 'disconnect':
      if (s) s.close();
      sockets.delete(cmd.id);
      return out({ seq: cmd.seq, ok: true });
    case 'burst':
      return burst(cmd);
    default:
      return out({ seq: cmd.seq, error: 'unknown op ' + cmd.op });
  }
});
rl.on('close', () => process.exit(0));
