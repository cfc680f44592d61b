'use strict';
// Guests of an event on the realtime channel: joining, requests, votes, messages to the DJ and
// track suggestions. Guest texts are bounded and cleaned; each guest has limits on requests, votes
// and messages, and each connection a limit on how fast it may ask. Nothing is acknowledged before
// it is stored.

const crypto = require('crypto');

const LIMITS = { name: 40, title: 120, artist: 120, message: 500, query: 80, eventId: 100 };
const BURST = { events: 20, windowMs: 10000 };
const REQUEST_GAP_MS = 10000;
// Guest pages hear of new requests and changed counts in batches: one push per event in this time
// instead of one per request and guest, which with hundreds of guests would be the service's
// whole work.
const GUEST_PUSH_MS = 250;
const GUEST_LIST_MAX = 300;

const TEXT = {
  badPayload: 'Ungültige Anfrage.',
  tooFast: 'Zu viele Anfragen – bitte einen Moment warten.',
  noEvent: 'Dieses Event gibt es nicht.',
  notJoined: 'Bitte die Seite neu laden.',
  needName: 'Bitte zuerst deinen Namen eingeben.',
  closed: 'Das Event nimmt gerade keine Wünsche an.',
  voteOnly: 'Gerade sind nur Stimmen für vorhandene Wünsche möglich.',
  unknownTrack: 'Diesen Titel gibt es in der Liste nicht.',
  unknownRequest: 'Diesen Wunsch gibt es nicht mehr.',
  notOpen: 'Für diesen Wunsch kann nicht mehr abgestimmt werden.',
  voted: 'Du hast für diesen Wunsch schon abgestimmt.',
  saveFailed: 'Konnte nicht gespeichert werden. Bitte noch einmal versuchen.',
};

// Control characters and direction overrides go; runs of white space become one space.
function clean(value) {
  return value.normalize('NFC')
    .replace(/[\u0000-\u001f\u007f-\u009f\u200b-\u200f\u202a-\u202e\u2066-\u2069\ufeff]/g, ' ')
    .replace(/\s+/g, ' ')
    .trim();
}

// {text} or {error}; `what` names the field in the German message, `missing` is the answer to an
// empty required field (none: the field may be empty).
function cleanField(value, max, what, missing) {
  if (value === undefined || value === null) value = '';
  if (typeof value !== 'string') return { error: TEXT.badPayload };
  if (value.length > max * 4) return { error: `${what} ist zu lang (höchstens ${max} Zeichen).` };
  const text = clean(value);
  if ([...text].length > max) return { error: `${what} ist zu lang (höchstens ${max} Zeichen).` };
  if (missing && !text) return { error: missing };
  return { text };
}

function pref(ev, key, def) {
  const v = ev.preferences && ev.preferences[key];
  return Number.isInteger(v) ? v : def;
}

function publicRequest(r) {
  return { id: r.id, title: r.title, artist: r.artist, vote_count: r.vote_count || 0, status: r.status, created_at: r.created_at };
}

function guestRequests(ev) {
  return ev.requests.filter((r) => r && r.status !== 'declined').slice(-GUEST_LIST_MAX).map(publicRequest);
}

function publicMessage(m) {
  return { id: m.id, content: m.content, created_at: m.created_at, is_dj_reply: !!m.is_dj_reply };
}

function guestThread(ev, sessionId) {
  return ev.messages.filter((m) => m && m.session_id === sessionId).slice(-50).map(publicMessage);
}

function publicBroadcast(b) {
  return { id: b.id, content: b.content, image_url: b.image_url || null, created_at: b.created_at };
}

function publicEventForGuests(ev) {
  return {
    id: ev.id, event_name: ev.event_name, dj_name: ev.dj_name, is_active: !!ev.is_active,
    now_playing: ev.nowPlaying || null,
    welcome: ev.preferences && typeof ev.preferences.welcomeMessage === 'string' ? ev.preferences.welcomeMessage : '',
    vote_only: !!(ev.preferences && ev.preferences.voteOnlyMode),
    limits: {
      requests: pref(ev, 'maxRequestsPerGuest', 3), votes: pref(ev, 'maxVotesPerGuest', 15),
      name: LIMITS.name, title: LIMITS.title, artist: LIMITS.artist, message: LIMITS.message,
    },
  };
}

function sameSong(a, b) {
  const norm = (s) => clean(String(s || '')).toLowerCase();
  return norm(a.title) === norm(b.title) && norm(a.artist) === norm(b.artist);
}

function attachGuests(ctx) {
  const { io } = ctx;
  const eventOf = (id) => ctx.state.events[id];
  const nowIso = () => new Date().toISOString();

  function guestRecord(ev, sessionId) {
    if (!ev.guests || typeof ev.guests !== 'object') ev.guests = {};
    let g = ev.guests[sessionId];
    if (!g) {
      g = { name: '', requests: 0, votes: [], lastRequestAt: 0, lastMessageAt: 0 };
      ev.guests[sessionId] = g;
    }
    if (!Array.isArray(g.votes)) g.votes = [];
    return g;
  }

  // Distinct guests with an open page, pushed to the DJ when the number changes.
  function updateGuestCount(eventId) {
    const ev = eventOf(eventId);
    if (!ev) return;
    const sessions = new Set();
    const room = io.of('/').adapter.rooms.get('g:' + eventId);
    if (room) {
      for (const id of room) {
        const s = io.of('/').sockets.get(id);
        if (s && s.data.sessionId) sessions.add(s.data.sessionId);
      }
    }
    if (ev.guestCount !== sessions.size) {
      ev.guestCount = sessions.size;
      io.to(eventId).emit('guest-count', sessions.size);
    }
  }

  const queued = new Map();  // eventId -> {added, changed}
  function queueForGuests(ev, r, added) {
    let q = queued.get(ev.id);
    if (!q) {
      q = { added: new Map(), changed: new Map() };
      queued.set(ev.id, q);
      setTimeout(() => {
        queued.delete(ev.id);
        io.to('g:' + ev.id).emit('requests-changed', { added: [...q.added.values()], changed: [...q.changed.values()] });
      }, GUEST_PUSH_MS);
    }
    if (added || q.added.has(r.id)) q.added.set(r.id, publicRequest(r));
    else q.changed.set(r.id, { id: r.id, vote_count: r.vote_count || 0, status: r.status });
  }

  function waitSeconds(lastMs, gapMs) {
    const left = lastMs + gapMs - Date.now();
    return left > 0 ? Math.ceil(left / 1000) : 0;
  }

  const handlers = {
    'guest-join': async (socket, o) => {
      const eventId = typeof o.eventId === 'string' && o.eventId.length <= LIMITS.eventId ? o.eventId : null;
      const ev = eventId && eventOf(eventId);
      if (!ev) return { ok: false, error: TEXT.noEvent };
      let sessionId = typeof o.sessionId === 'string' && /^[A-Za-z0-9_-]{8,64}$/.test(o.sessionId) ? o.sessionId : null;
      if (!sessionId) sessionId = crypto.randomUUID();
      const previous = socket.data.eventId;
      if (previous) {
        socket.leave('g:' + previous);
        socket.leave('s:' + previous + ':' + socket.data.sessionId);
      }
      socket.data.eventId = eventId;
      socket.data.sessionId = sessionId;
      socket.join('g:' + eventId);
      socket.join('s:' + eventId + ':' + sessionId);
      if (previous && previous !== eventId) updateGuestCount(previous);
      updateGuestCount(eventId);
      const known = ev.guests && ev.guests[sessionId];
      let name = known ? known.name : '';
      if (o.name !== undefined && o.name !== '') {
        const n = cleanField(o.name, LIMITS.name, 'Der Name', 'Bitte einen Namen eingeben.');
        if (n.error) return { ok: false, error: n.error };
        name = n.text;
        guestRecord(ev, sessionId).name = name;
      }
      const g = ev.guests && ev.guests[sessionId];
      return {
        ok: true, sessionId, name, event: publicEventForGuests(ev), requests: guestRequests(ev),
        mine: ev.requests.filter((r) => r.session_id === sessionId).map((r) => r.id),
        voted: g ? g.votes.slice() : [],
        messages: guestThread(ev, sessionId),
        broadcasts: ev.broadcasts.filter((b) => b && typeof b.content === 'string' && !b.ad).slice(-10).map(publicBroadcast),
      };
    },

    'guest-name': async (socket, o) => {
      const ev = eventOf(socket.data.eventId);
      if (!ev) return { ok: false, error: TEXT.notJoined };
      const n = cleanField(o.name, LIMITS.name, 'Der Name', 'Bitte einen Namen eingeben.');
      if (n.error) return { ok: false, error: n.error };
      guestRecord(ev, socket.data.sessionId).name = n.text;
      await ctx.persist();
      return { ok: true, name: n.text };
    },

    'guest-search': async (socket, o) => {
      const ev = eventOf(socket.data.eventId);
      if (!ev) return { ok: false, error: TEXT.notJoined };
      const q = cleanField(o.q, LIMITS.query, 'Die Suche');
      if (q.error) return { ok: false, error: q.error };
      const words = q.text.toLowerCase().split(' ').filter(Boolean);
      if (!words.length) return { ok: true, tracks: [] };
      const tracks = [];
      for (const t of ev.tracks) {
        if (!t || t.hidden) continue;
        const hay = (String(t.title) + ' ' + String(t.artist)).toLowerCase();
        if (words.every((w) => hay.includes(w))) tracks.push({ id: t.id, title: t.title, artist: t.artist });
        if (tracks.length >= 8) break;
      }
      return { ok: true, tracks };
    },

    'guest-request': async (socket, o) => {
      const ev = eventOf(socket.data.eventId);
      if (!ev) return { ok: false, error: TEXT.notJoined };
      const sessionId = socket.data.sessionId;
      const g = guestRecord(ev, sessionId);
      if (!g.name) return { ok: false, error: TEXT.needName };
      if (!ev.is_active) return { ok: false, error: TEXT.closed };
      if (ev.preferences && ev.preferences.voteOnlyMode) return { ok: false, error: TEXT.voteOnly };
      let title, artist, track = null;
      if (o.trackId !== undefined && o.trackId !== null) {
        track = Number.isInteger(o.trackId) ? ev.tracks.find((t) => t && t.id === o.trackId && !t.hidden) : null;
        if (!track) return { ok: false, error: TEXT.unknownTrack };
        title = String(track.title);
        artist = String(track.artist);
      } else {
        const t = cleanField(o.title, LIMITS.title, 'Der Titel', 'Bitte einen Titel eingeben.');
        if (t.error) return { ok: false, error: t.error };
        const a = cleanField(o.artist, LIMITS.artist, 'Der Interpret');
        if (a.error) return { ok: false, error: a.error };
        title = t.text;
        artist = a.text;
      }
      const existing = ev.requests.find((r) => r && (r.status === 'pending' || r.status === 'confirmed') && sameSong(r, { title, artist }));
      if (existing) {
        if (existing.status !== 'pending' || g.votes.includes(existing.id)) {
          return { ok: true, duplicate: true, request: publicRequest(existing) };
        }
        return vote(ev, g, existing, true);
      }
      const max = pref(ev, 'maxRequestsPerGuest', 3);
      if (max > 0 && g.requests >= max) {
        return { ok: false, error: `Du hast schon ${max} ${max === 1 ? 'Wunsch' : 'Wünsche'} geschickt – mehr geht bei diesem Event nicht.` };
      }
      const wait = waitSeconds(g.lastRequestAt, REQUEST_GAP_MS);
      if (wait) return { ok: false, error: `Bitte warte noch ${wait} Sekunden bis zum nächsten Wunsch.` };

      const r = {
        id: ctx.nextId(), track_id: track ? track.id : 0, title, artist,
        bpm: track && typeof track.bpm === 'number' ? track.bpm : 0,
        key_notation: track && typeof track.key_notation === 'string' ? track.key_notation : '',
        vote_count: 1, status: 'pending', created_at: nowIso(), guest_name: g.name, session_id: sessionId,
      };
      ev.requests.push(r);
      const before = { requests: g.requests, lastRequestAt: g.lastRequestAt };
      g.requests++;
      g.lastRequestAt = Date.now();
      g.votes.push(r.id);
      try {
        await ctx.persist();
      } catch (e) {
        ev.requests = ev.requests.filter((x) => x !== r);
        Object.assign(g, before);
        g.votes = g.votes.filter((id) => id !== r.id);
        return { ok: false, error: TEXT.saveFailed };
      }
      io.to(ev.id).emit('new-request', { requests: [r] });
      queueForGuests(ev, r, true);
      return { ok: true, request: publicRequest(r) };
    },

    'guest-vote': async (socket, o) => {
      const ev = eventOf(socket.data.eventId);
      if (!ev) return { ok: false, error: TEXT.notJoined };
      if (!Number.isInteger(o.requestId)) return { ok: false, error: TEXT.badPayload };
      const r = ev.requests.find((x) => x && x.id === o.requestId);
      if (!r) return { ok: false, error: TEXT.unknownRequest };
      if (r.status !== 'pending') return { ok: false, error: TEXT.notOpen };
      const g = guestRecord(ev, socket.data.sessionId);
      if (g.votes.includes(r.id)) return { ok: false, error: TEXT.voted };
      return vote(ev, g, r, false);
    },

    'guest-message': async (socket, o) => {
      const ev = eventOf(socket.data.eventId);
      if (!ev) return { ok: false, error: TEXT.notJoined };
      const g = guestRecord(ev, socket.data.sessionId);
      if (!g.name) return { ok: false, error: TEXT.needName };
      const c = cleanField(o.content, LIMITS.message, 'Die Nachricht', 'Bitte eine Nachricht eingeben.');
      if (c.error) return { ok: false, error: c.error };
      const cooldown = Math.max(pref(ev, 'messageCooldownSeconds', 30), pref(ev, 'guestMessageCooldownMinutes', 0) * 60);
      const wait = waitSeconds(g.lastMessageAt, cooldown * 1000);
      if (wait) return { ok: false, error: `Bitte warte noch ${wait} Sekunden bis zur nächsten Nachricht.` };
      const m = {
        id: ctx.nextId(), content: c.text, is_read: false, created_at: nowIso(), guest_name: g.name,
        session_id: socket.data.sessionId, device_id: '', is_dj_reply: false, message_type: 'message',
      };
      ev.messages.push(m);
      const last = g.lastMessageAt;
      g.lastMessageAt = Date.now();
      try {
        await ctx.persist();
      } catch (e) {
        ev.messages = ev.messages.filter((x) => x !== m);
        g.lastMessageAt = last;
        return { ok: false, error: TEXT.saveFailed };
      }
      io.to(ev.id).emit('new-message', { messages: [m] });
      return { ok: true, message: publicMessage(m) };
    },
  };

  async function vote(ev, g, r, fromDuplicate) {
    const max = pref(ev, 'maxVotesPerGuest', 15);
    if (max > 0 && g.votes.length >= max) return { ok: false, error: `Du hast schon alle ${max} Stimmen vergeben.` };
    r.vote_count = (r.vote_count || 0) + 1;
    g.votes.push(r.id);
    try {
      await ctx.persist();
    } catch (e) {
      r.vote_count--;
      g.votes = g.votes.filter((id) => id !== r.id);
      return { ok: false, error: TEXT.saveFailed };
    }
    // The DJ's list merges a known request by id, so the one changed request is enough.
    io.to(ev.id).emit('new-request', { requests: [r] });
    queueForGuests(ev, r, false);
    return { ok: true, voted: true, duplicate: fromDuplicate, request: publicRequest(r) };
  }

  io.on('connection', (socket) => {
    const recent = [];
    for (const [name, handler] of Object.entries(handlers)) {
      socket.on(name, async (payload, ack) => {
        if (typeof payload === 'function') { ack = payload; payload = undefined; }
        // Without a way to answer, or with a payload of the wrong kind, the event is dropped.
        if (typeof ack !== 'function') return;
        if (payload === null || typeof payload !== 'object' || Array.isArray(payload)) return ack({ ok: false, error: TEXT.badPayload });
        const now = Date.now();
        while (recent.length && recent[0] <= now - BURST.windowMs) recent.shift();
        if (recent.length >= BURST.events) return ack({ ok: false, error: TEXT.tooFast });
        recent.push(now);
        if (name !== 'guest-join' && !socket.data.eventId) return ack({ ok: false, error: TEXT.notJoined });
        let answer;
        try {
          answer = await handler(socket, payload);
        } catch (e) {
          ctx.warn('Gastanfrage ' + name + ' fehlgeschlagen: ' + e.message);
          answer = { ok: false, error: TEXT.saveFailed };
        }
        ack(answer);
      });
    }
    socket.on('disconnect', () => {
      if (socket.data.eventId) updateGuestCount(socket.data.eventId);
    });
  });

  return {
    // Pushes of the DJ's actions to the guest pages.
    requestChanged(ev, r) { queueForGuests(ev, r, false); },
    broadcast(ev, b) { io.to('g:' + ev.id).emit('broadcast', publicBroadcast(b)); },
    reply(ev, sessionId, m) { io.to('s:' + ev.id + ':' + sessionId).emit('dj-reply', publicMessage(m)); },
    nowPlaying(ev) { io.to('g:' + ev.id).emit('now-playing', ev.nowPlaying); },
  };
}

module.exports = { attachGuests, clean, cleanField, LIMITS };
