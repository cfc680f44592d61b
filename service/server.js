'use strict';
// The local event service: the REST endpoints the DJ's program uses, a socket.io server at "/ws/"
// for the DJ and the guests, and the guest page at "/e/EVENT_ID". State is kept in a JSON file
// (written atomically; every acknowledged change is on disk) under --data, by default
// $XDG_DATA_HOME/floorvote/local-service. Started with --test it keeps its state in memory unless
// --data is given, and takes scripted faults and state over "/__admin/...".
// Prints one line {"port": N, ...} on standard output once it listens; what follows on standard
// output is its console (one-time login codes, warnings).

const http = require('http');
const crypto = require('crypto');
const fs = require('fs');
const os = require('os');
const path = require('path');
const { Server } = require('socket.io');
const { freshState, freshEvent, normalizeEvent, StateFile } = require('./lib/store');
const { attachGuests } = require('./lib/guests');

function argValue(name, def) {
  const i = process.argv.indexOf(name);
  return i >= 0 && i + 1 < process.argv.length ? process.argv[i + 1] : def;
}

const testMode = process.argv.includes('--test');
const lan = process.argv.includes('--lan');
const port = Number(argValue('--port', '0'));
const host = argValue('--host', lan ? '0.0.0.0' : '127.0.0.1');
const name = argValue('--name', 'service');
// Engine.IO timings; tests shorten them to see several ping rounds quickly.
const pingInterval = Number(argValue('--ping-interval', '25000'));
const pingTimeout = Number(argValue('--ping-timeout', '20000'));
const maxBodyBytes = 16 * 1024 * 1024;    // a large track import fits
const maxSocketMessageBytes = 64 * 1024;  // guests send short texts
const otpValidMs = 10 * 60 * 1000;

function defaultDataDir() {
  const xdg = process.env.XDG_DATA_HOME;
  const base = xdg && path.isAbsolute(xdg) ? xdg : path.join(os.homedir(), '.local', 'share');
  return path.join(base, 'floorvote', 'local-service');
}
const dataDir = argValue('--data', testMode ? null : defaultDataDir());

let io = null;
let guests = null;
const joins = [];          // {eventId, socketId} per "join-dj"
const socketCloses = [];   // reasons the server saw for closed sockets

// The console: after the port line, plain lines for the person who started the service. A reader
// that went away (a test keeps only the first line) must not take the service down.
process.stdout.on('error', () => {});
let early = [];  // lines from before the port line, which must come first
function say(line) {
  if (early) early.push(line);
  else process.stdout.write(line + '\n');
}
function warn(line) { say('Warnung: ' + line); }

let state = freshState();
let received = [];
let rules = [];
const stateFile = dataDir ? new StateFile(dataDir, () => state, warn) : null;
if (stateFile) {
  const stored = stateFile.load();
  if (stored) state = stored;
}
// Resolves once everything changed so far is stored (at once without a state file).
function persist() { return stateFile ? stateFile.save() : Promise.resolve(); }

function newToken(prefix) {
  return prefix + '-' + crypto.randomBytes(12).toString('hex');
}

function nextId() {
  return state.nextId++;
}

function ensureEvent(id) {
  if (!state.events[id]) state.events[id] = freshEvent(id);
  return state.events[id];
}

function accountByUuid(uuid) {
  return Object.entries(state.accounts).find(([, a]) => a.djUuid === uuid);
}

function ensureAccount(email) {
  if (!state.accounts[email]) {
    state.accounts[email] = { djUuid: crypto.randomUUID(), role: 'user', displayName: null };
  }
  return state.accounts[email];
}

function send(res, status, body, contentType) {
  if (res.headersSent || res.destroyed) return;
  // A change is answered as done only once it is stored.
  if (res.fvPersist && status < 400) {
    res.fvPersist = false;
    persist().then(() => send(res, status, body, contentType),
      () => send(res, 503, { error: 'Der Zustand konnte nicht gespeichert werden.' }, 'application/json'));
    return;
  }
  const data = Buffer.isBuffer(body) ? body
    : typeof body === 'string' ? Buffer.from(body)
      : Buffer.from(JSON.stringify(body));
  res.writeHead(status, {
    'Content-Type': contentType || (typeof body === 'string' && !Buffer.isBuffer(body) ? 'text/plain' : 'application/json'),
    'Content-Length': data.length,
  });
  res.end(data);
}

function json(res, status, obj) { send(res, status, obj, 'application/json'); }

function ruleMatches(rule, req, urlPath) {
  if (rule.method && rule.method !== req.method) return false;
  if (rule.path !== undefined && rule.path !== urlPath) return false;
  if (rule.pathPrefix !== undefined && !urlPath.startsWith(rule.pathPrefix)) return false;
  return true;
}

// Applies the first matching scripted fault; returns true when it answered (or will answer).
function applyRule(req, res, urlPath, next) {
  const idx = rules.findIndex((r) => ruleMatches(r, req, urlPath));
  if (idx < 0) return next();
  const rule = rules[idx];
  // A rule applies once unless it says how often; times -1 keeps it for good.
  const times = rule.times === undefined ? 1 : rule.times;
  if (times > 0) {
    rule.times = times - 1;
    if (rule.times === 0) rules.splice(idx, 1);
  }
  const act = () => {
    switch (rule.action) {
      case 'delay': return next();
      case 'status': {
        const body = rule.body !== undefined ? rule.body : '';
        return send(res, rule.status, typeof body === 'string' ? body : JSON.stringify(body), rule.contentType || 'application/json');
      }
      case 'malformed':
        return send(res, rule.status || 200, rule.body !== undefined ? rule.body : '{"requests": [', 'application/json');
      case 'huge': {
        const size = rule.size || 10 * 1024 * 1024;
        res.writeHead(200, { 'Content-Type': 'application/json', 'Content-Length': size });
        const chunk = Buffer.alloc(64 * 1024, 0x20);
        let left = size;
        const pump = () => {
          while (left > 0) {
            const n = Math.min(left, chunk.length);
            left -= n;
            if (!res.write(n === chunk.length ? chunk : chunk.subarray(0, n))) return res.once('drain', pump);
          }
          res.end();
        };
        res.on('error', () => {});
        return pump();
      }
      case 'reset': {
        // Promise a body, send part of it, then drop the connection.
        res.writeHead(200, { 'Content-Type': 'application/json', 'Content-Length': 1000 });
        res.write('{"requests": [{"id": 1, ');
        return setTimeout(() => req.socket.destroy(), 20);
      }
      case 'garbage':
        // Not HTTP at all.
        req.socket.end('SSH-2.0-OpenSSH_9.2\r\n\r\n');
        return undefined;
      case 'hang':
        return undefined; // never answer
      default:
        return send(res, 500, { error: 'unknown scripted action ' + rule.action });
    }
  };
  if (rule.delayMs) setTimeout(act, rule.delayMs); else act();
  return undefined;
}

function bearer(req) {
  const h = req.headers['authorization'];
  if (!h || !h.startsWith('Bearer ')) return null;
  return h.slice(7);
}

function authUuid(req) {
  const t = bearer(req);
  if (!t) return null;
  return state.accessTokens[t] || null;
}

function requireAuth(req, res) {
  const uuid = authUuid(req);
  if (!uuid) {
    json(res, 401, { error: bearer(req) ? 'Invalid or expired token' : 'Authentication required' });
    return null;
  }
  return uuid;
}

function parseJson(buf) {
  if (!buf.length) return {};
  try { return JSON.parse(buf.toString('utf8')); } catch (e) { return undefined; }
}

function stats(ev) {
  const c = (s) => ev.requests.filter((r) => r.status === s).length;
  return {
    pending_count: c('pending'), confirmed_count: c('confirmed'), declined_count: c('declined'),
    played_count: c('played'), total_votes: ev.requests.reduce((a, r) => a + (r.vote_count || 0), 0),
    message_count: ev.messages.length, unique_guests: ev.guestCount, guest_count: ev.guestCount,
    guest_active: 0, guest_idle: 0, guest_hidden: 0,
  };
}

function publicEvent(ev) {
  const out = { id: ev.id, dj_name: ev.dj_name, event_name: ev.event_name, is_active: ev.is_active, isLive: ev.isLive, guestCount: ev.guestCount };
  if (ev.nowPlaying) out.nowPlaying = ev.nowPlaying;
  return out;
}

const extrasPrefixes = ['/api/dj/contests', '/api/moderation', '/api/dj/profiles', '/api/backups', '/api/migrate', '/api/dj/ads'];

function route(req, res, urlPath, query, body) {
  const m = req.method;
  const seg = urlPath.split('/').filter(Boolean); // ["api", ...]
  const b = () => parseJson(body);

  if (m === 'GET' && urlPath === '/api/health') return json(res, 200, { status: state.health });

  // Login and tokens.
  if (m === 'POST' && urlPath === '/api/auth/otp/send') {
    const { email } = b() || {};
    // The address is printed on the console: one line of plain characters only.
    if (typeof email !== 'string' || !/^[^\s@\u0000-\u001f\u007f]{1,64}@[^\s@\u0000-\u001f\u007f]{1,190}$/.test(email)) {
      return json(res, 400, { error: 'Invalid email' });
    }
    ensureAccount(email);
    if (testMode) {
      state.otpCodes[email] = state.otpCodes[email] || '123456';
    } else {
      // There is no mail here: the code goes to the console of whoever started the service.
      const code = String(crypto.randomInt(0, 1000000)).padStart(6, '0');
      state.otpCodes[email] = { code, expires: Date.now() + otpValidMs, tries: 0 };
      say(`Anmeldecode für ${email}: ${code} (10 Minuten gültig)`);
    }
    return json(res, 200, { success: true });
  }
  if (m === 'POST' && urlPath === '/api/auth/otp/verify') {
    const { email, code } = b() || {};
    const expected = typeof email === 'string' ? state.otpCodes[email] : undefined;
    if (expected && typeof expected === 'object') {
      // One code, used once, within its time and at most five tries.
      if (Date.now() > expected.expires || expected.tries >= 5) {
        delete state.otpCodes[email];
        return json(res, 401, { error: 'Code abgelaufen – bitte einen neuen anfordern.' });
      }
      if (typeof code !== 'string' || code !== expected.code) {
        expected.tries++;
        return json(res, 401, { error: 'Invalid code' });
      }
      delete state.otpCodes[email];
    } else if (!state.accounts[email] || expected !== code) {
      return json(res, 401, { error: 'Invalid code' });
    }
    const acc = state.accounts[email];
    const access = newToken('access');
    const refresh = newToken('refresh');
    state.accessTokens[access] = acc.djUuid;
    state.refreshTokens[refresh] = acc.djUuid;
    return json(res, 200, { success: true, djUuid: acc.djUuid, accessToken: access, refreshToken: refresh });
  }
  if (m === 'POST' && urlPath === '/api/auth/refresh') {
    const { refreshToken } = b() || {};
    const uuid = state.refreshTokens[refreshToken];
    if (!uuid) return json(res, 401, { error: 'Invalid refresh token' });
    const access = newToken('access');
    state.accessTokens[access] = uuid;
    return json(res, 200, { accessToken: access });
  }
  if (m === 'POST' && urlPath === '/api/auth/logout') {
    const { refreshToken } = b() || {};
    delete state.refreshTokens[refreshToken];
    return json(res, 200, { success: true });
  }
  if (m === 'POST' && urlPath === '/api/auth/handoff') {
    // The dedicated server trusts the main service's token as it is handed over.
    if (!bearer(req)) return json(res, 401, { error: 'Authentication required' });
    if (state.handoff) return json(res, 200, state.handoff);
    const { email, displayName } = b() || {};
    const acc = ensureAccount(email || 'dj@example.invalid');
    if (displayName) acc.displayName = displayName;
    const access = newToken('access');
    const refresh = newToken('refresh');
    state.accessTokens[access] = acc.djUuid;
    state.refreshTokens[refresh] = acc.djUuid;
    return json(res, 200, {
      success: true, djUuid: acc.djUuid, accessToken: access, refreshToken: refresh,
      isEmpty: Object.values(state.events).every((e) => e.owner !== acc.djUuid), displayName: acc.displayName, role: acc.role,
    });
  }

  // The DJ's account.
  if (m === 'GET' && urlPath === '/api/dj/profile') {
    const uuid = requireAuth(req, res); if (!uuid) return undefined;
    const found = accountByUuid(uuid);
    const [email, acc] = found || [null, { role: 'user' }];
    const out = { uuid, email };
    if (acc.role !== null && acc.role !== undefined) out.role = acc.role;
    if (acc.displayName) out.displayName = acc.displayName;
    return json(res, 200, out);
  }
  if (m === 'GET' && urlPath === '/api/dj/events') {
    const uuid = requireAuth(req, res); if (!uuid) return undefined;
    const events = Object.values(state.events).filter((e) => e.owner === uuid).map((e) => ({
      id: e.id, event_name: e.event_name, dj_name: e.dj_name, dj_pin: e.dj_pin, is_active: e.is_active,
      created_at: e.created_at || '2026-01-01T00:00:00Z',
    }));
    return json(res, 200, { events });
  }
  if (m === 'GET' && urlPath === '/api/dj/stats') {
    const uuid = requireAuth(req, res); if (!uuid) return undefined;
    const events = Object.values(state.events).filter((e) => e.owner === uuid).map((e) => ({
      eventId: e.id, eventName: e.event_name, djName: e.dj_name, ...stats(e),
    }));
    return json(res, 200, { events });
  }
  if (m === 'GET' && urlPath === '/api/dj/dedicated-server') {
    const uuid = requireAuth(req, res); if (!uuid) return undefined;
    return json(res, 200, state.dedicated);
  }
  if (m === 'GET' && urlPath === '/api/dj/notifications') {
    const uuid = requireAuth(req, res); if (!uuid) return undefined;
    return json(res, 200, { notifications: state.notifications, unread_count: state.notifications.filter((n) => !n.is_read).length });
  }
  if (m === 'POST' && urlPath === '/api/dj/notifications/mark-read') {
    const uuid = requireAuth(req, res); if (!uuid) return undefined;
    const o = b() || {};
    state.notifications.forEach((n) => { if (o.all || n.id === o.notificationId) n.is_read = true; });
    return json(res, 200, { success: true });
  }
  if (m === 'POST' && seg.length === 5 && seg[1] === 'dj' && seg[2] === 'profiles' && seg[4] === 'upload-logo') {
    const uuid = requireAuth(req, res); if (!uuid) return undefined;
    return json(res, 200, { url: 'http://127.0.0.1/uploads/profile-' + seg[3] + '.png' });
  }

  // Libraries and playlists.
  if (m === 'GET' && urlPath === '/api/libraries') {
    if (!requireAuth(req, res)) return undefined;
    return json(res, 200, { libraries: state.libraries });
  }
  if (m === 'GET' && urlPath === '/api/playlists') {
    if (!requireAuth(req, res)) return undefined;
    return json(res, 200, { playlists: state.playlists });
  }
  if (m === 'POST' && urlPath === '/api/playlists') {
    if (!requireAuth(req, res)) return undefined;
    const o = b() || {};
    const p = { id: nextId(), name: o.name || '', source_playlist_id: o.sourcePlaylistId, track_count: (o.trackIds || []).length };
    state.playlists.push(p);
    return json(res, 200, { success: true, playlist: p });
  }

  if (seg[0] === 'api' && seg[1] === 'libraries' && seg.length >= 3) {
    if (!requireAuth(req, res)) return undefined;
    const lib = state.libraries.find((l) => String(l.id) === seg[2]);
    if (!lib) return json(res, 404, { error: 'Library not found' });
    if (seg.length === 4 && seg[3] === 'tracks' && m === 'GET') return json(res, 200, { tracks: lib.tracks || [], library_id: lib.id });
    if (seg.length === 3 && m === 'PATCH') { lib.name = (b() || {}).name; return json(res, 200, { success: true }); }
    if (seg.length === 3 && m === 'DELETE') { state.libraries = state.libraries.filter((l) => l !== lib); return json(res, 200, { success: true }); }
  }
  if (seg[0] === 'api' && seg[1] === 'playlists' && seg.length >= 3) {
    if (!requireAuth(req, res)) return undefined;
    const pl = state.playlists.find((p) => String(p.id) === seg[2]);
    if (!pl) return json(res, 404, { error: 'Playlist not found' });
    if (seg.length === 4 && seg[3] === 'reorder' && m === 'PUT') { pl.trackIds = (b() || {}).trackIds; return json(res, 200, { success: true }); }
    if (seg.length === 3 && m === 'DELETE') { state.playlists = state.playlists.filter((p) => p !== pl); return json(res, 200, { success: true }); }
  }

  // Event creation.
  if (m === 'POST' && urlPath === '/api/events') {
    const o = b();
    if (!o || typeof o.djPin !== 'string') return json(res, 400, { error: 'djPin required' });
    const id = typeof o.id === 'string' && o.id ? o.id : 'ev' + nextId();
    const ev = ensureEvent(id);
    ev.dj_name = o.djName || ''; ev.event_name = o.eventName || ''; ev.dj_pin = o.djPin;
    ev.owner = authUuid(req) || ev.owner;
    return json(res, 200, { id, djName: ev.dj_name, eventName: ev.event_name });
  }

  if (seg[0] === 'api' && seg[1] === 'dj' && seg[2] === 'event' && seg.length === 5) {
    if (!requireAuth(req, res)) return undefined;
    const ev = state.events[seg[3]];
    if (!ev) return json(res, 404, { error: 'Event not found' });
    if (seg[4] === 'go-live' || seg[4] === 'extend') {
      ev.isLive = true;
      return json(res, 200, { success: true, startedAt: '2026-01-01T20:00:00Z', expiresAt: '2026-01-02T04:00:00Z' });
    }
    if (seg[4] === 'status') {
      return json(res, 200, { eventId: ev.id, isLive: ev.isLive, startedAt: null, expiresAt: null, isExpired: false, remainingSeconds: 0 });
    }
  }

  // Everything under one event.
  if (seg[0] === 'api' && seg[1] === 'events' && seg.length >= 3) {
    const ev = state.events[seg[2]];
    const rest = seg.slice(3);
    const isExtra = rest[0] === 'ads' || rest[0] === 'moderation';
    if (!ev && !isExtra) return json(res, 404, { error: 'Event not found' });
    if (rest.length === 0 && m === 'GET') return json(res, 200, publicEvent(ev));
    if (rest[0] === 'dj-auth' && m === 'POST') {
      const { pin } = b() || {};
      if (pin !== ev.dj_pin) return json(res, 401, { error: 'Wrong PIN' });
      return json(res, 200, { success: true, eventName: ev.event_name, djName: ev.dj_name });
    }
    if (rest[0] === 'active' && m === 'PATCH') {
      if (!requireAuth(req, res)) return undefined;
      const o = b() || {};
      if (typeof o.active !== 'boolean') return json(res, 400, { error: 'active must be a boolean' });
      ev.is_active = o.active;
      return json(res, 200, { success: true });
    }
    if (rest[0] === 'requests' && rest.length === 1 && m === 'GET') {
      const s = query.get('status');
      return json(res, 200, { requests: s ? ev.requests.filter((r) => r.status === s) : ev.requests });
    }
    if (rest[0] === 'requests' && rest.length === 2 && m === 'PATCH') {
      if (!requireAuth(req, res)) return undefined;
      const r = ev.requests.find((x) => String(x.id) === rest[1]);
      if (!r) return json(res, 404, { error: 'Request not found' });
      const { status } = b() || {};
      if (!['pending', 'confirmed', 'declined', 'played'].includes(status)) return json(res, 400, { error: 'Invalid status' });
      r.status = status;
      if (status === 'confirmed') r.confirmed_at = new Date().toISOString();
      if (guests) guests.requestChanged(ev, r);
      return json(res, 200, { success: true });
    }
    if (rest[0] === 'messages' && rest.length === 1 && m === 'GET') return json(res, 200, { messages: ev.messages });
    if (rest[0] === 'messages' && m === 'DELETE') {
      if (!requireAuth(req, res)) return undefined;
      if (rest.length === 1) ev.messages = [];
      else ev.messages = ev.messages.filter((x) => String(x.id) !== rest[1]);
      return json(res, 200, { success: true });
    }
    if (rest[0] === 'messages' && rest.length === 3 && rest[2] === 'reply' && m === 'POST') {
      if (!requireAuth(req, res)) return undefined;
      const o = b() || {};
      if (typeof o.content !== 'string' || !o.content) return json(res, 400, { error: 'Die Antwort braucht einen Text.' });
      const to = ev.messages.find((x) => String(x.id) === rest[1]);
      const sessionId = typeof o.sessionId === 'string' && o.sessionId ? o.sessionId : (to ? to.session_id : '');
      const reply = {
        id: nextId(), content: o.content, is_read: true, created_at: new Date().toISOString(), session_id: sessionId,
        is_dj_reply: true, message_type: 'reply', reply_to: Number(rest[1]) || null,
      };
      ev.messages.push(reply);
      if (guests && sessionId) guests.reply(ev, sessionId, reply);
      return json(res, 200, { success: true });
    }
    if (rest[0] === 'broadcast' && m === 'POST') {
      if (!requireAuth(req, res)) return undefined;
      const o = b() || {};
      if (typeof o.content !== 'string') return json(res, 400, { error: 'Der Rundruf braucht einen Text.' });
      // The guests see the text and the image; an ad page's HTML stays with the ad.
      const entry = {
        id: nextId(), content: o.content, image_url: typeof o.imageUrl === 'string' ? o.imageUrl : null,
        created_at: new Date().toISOString(), ad: typeof o.ad_html === 'string',
      };
      ev.broadcasts.push(entry);
      if (ev.broadcasts.length > 200) ev.broadcasts.splice(0, ev.broadcasts.length - 200);
      if (guests && !entry.ad) guests.broadcast(ev, entry);
      return json(res, 200, { success: true });
    }
    if (rest[0] === 'now-playing' && m === 'POST') {
      if (!requireAuth(req, res)) return undefined;
      const o = b() || {};
      if (typeof o.title !== 'string' || typeof o.artist !== 'string') return json(res, 400, { error: 'Titel und Interpret fehlen.' });
      ev.nowPlaying = { track_title: o.title, track_artist: o.artist, updated_at: new Date().toISOString() };
      if (io) io.to(ev.id).emit('now-playing', ev.nowPlaying);
      if (guests) guests.nowPlaying(ev);
      return json(res, 200, { success: true });
    }
    if (rest[0] === 'stats' && m === 'GET') return json(res, 200, stats(ev));
    if (rest[0] === 'preferences' && m === 'GET') return json(res, 200, { preferences: ev.preferences });
    if (rest[0] === 'preferences' && m === 'PATCH') {
      if (!requireAuth(req, res)) return undefined;
      const o = b() || {};
      if (typeof o.djPin === 'string') ev.dj_pin = o.djPin;
      const { djPin, replyTemplates, guestMessageTemplates, broadcastTemplates, ...prefs } = o;
      Object.assign(ev.preferences, prefs);
      return json(res, 200, { success: true });
    }
    if (rest[0] === 'upload' && m === 'POST') {
      if (!requireAuth(req, res)) return undefined;
      return json(res, 200, { url: 'http://127.0.0.1/uploads/' + ev.id + '.png' });
    }
    if (rest[0] === 'tracks' && rest.length === 1 && m === 'GET') {
      const q = (query.get('q') || '').toLowerCase();
      const source = query.get('source');
      const tracks = ev.tracks.filter((t) => (!q || (t.title + ' ' + t.artist).toLowerCase().includes(q)) && (!source || t.source === source));
      return json(res, 200, { tracks });
    }
    if (rest[0] === 'tracks' && rest.length === 1 && m === 'POST') {
      if (!requireAuth(req, res)) return undefined;
      const o = b() || {};
      const list = Array.isArray(o.tracks) ? o.tracks : [];
      for (const t of list) {
        ev.tracks.push({ id: nextId(), title: t.title, artist: t.artist, genre: t.genre || '', bpm: t.bpm || 0, source: t.source || '', source_id: t.sourceId || '' });
      }
      return json(res, 200, { success: true, imported: list.length, library_id: 1 });
    }
    if (rest[0] === 'tracks' && rest.length === 1 && m === 'DELETE') {
      if (!requireAuth(req, res)) return undefined;
      const source = query.get('source');
      const before = ev.tracks.length;
      ev.tracks = ev.tracks.filter((t) => t.source !== source);
      return json(res, 200, { deleted: before - ev.tracks.length });
    }
    if (rest[0] === 'tracks' && rest.length === 2 && m === 'PATCH') {
      if (!requireAuth(req, res)) return undefined;
      const t = ev.tracks.find((x) => String(x.id) === rest[1]);
      if (!t) return json(res, 404, { error: 'Track not found' });
      t.hidden = !!(b() || {}).hidden;
      return json(res, 200, { success: true });
    }
    if (isExtra) {
      if (!requireAuth(req, res)) return undefined;
      return json(res, 200, rest[0] === 'moderation' ? { devices: [] } : { success: true });
    }
  }

  // Event extras: thin calls the service only acknowledges.
  if (extrasPrefixes.some((p) => urlPath === p || urlPath.startsWith(p + '/'))) {
    if (!requireAuth(req, res)) return undefined;
    if (m === 'GET' && urlPath === '/api/moderation/bans') return json(res, 200, { bans: [] });
    if (m === 'GET' && urlPath === '/api/dj/ads') return json(res, 200, { ads: [] });
    if (m === 'GET' && urlPath === '/api/dj/contests') return json(res, 200, { contests: [] });
    return json(res, 200, { success: true });
  }

  return json(res, 404, { error: 'Not found' });
}

function admin(req, res, urlPath, body) {
  const o = parseJson(body) || {};
  switch (urlPath) {
    case '/__admin/reset':
      state = freshState(); received = []; rules = [];
      return json(res, 200, { ok: true });
    case '/__admin/script':
      rules.push(o);
      return json(res, 200, { ok: true, rules: rules.length });
    case '/__admin/clear-script':
      rules = [];
      return json(res, 200, { ok: true });
    case '/__admin/received':
      if (req.method === 'DELETE') { received = []; return json(res, 200, { ok: true }); }
      return json(res, 200, { received });
    case '/__admin/expire': {
      // Expire one access token, or every access token when none is named.
      if (o.accessToken) delete state.accessTokens[o.accessToken];
      else state.accessTokens = {};
      if (o.refreshTokens) state.refreshTokens = {};
      return json(res, 200, { ok: true });
    }
    case '/__admin/account': {
      const acc = ensureAccount(o.email);
      if (o.role !== undefined) acc.role = o.role;
      if (o.displayName !== undefined) acc.displayName = o.displayName;
      if (o.code) state.otpCodes[o.email] = o.code;
      if (o.accessToken) state.accessTokens[o.accessToken] = acc.djUuid;
      if (o.refreshToken) state.refreshTokens[o.refreshToken] = acc.djUuid;
      return json(res, 200, { djUuid: acc.djUuid });
    }
    case '/__admin/event': {
      const ev = ensureEvent(o.id);
      for (const k of ['dj_name', 'event_name', 'dj_pin', 'is_active', 'isLive', 'guestCount', 'requests', 'messages', 'tracks', 'preferences']) {
        if (o[k] !== undefined) ev[k] = o[k];
      }
      if (o.ownerEmail) ev.owner = ensureAccount(o.ownerEmail).djUuid;
      return json(res, 200, { ok: true });
    }
    case '/__admin/set': {
      for (const k of ['dedicated', 'handoff', 'notifications', 'libraries', 'playlists', 'health']) {
        if (o[k] !== undefined) state[k] = o[k];
      }
      return json(res, 200, { ok: true });
    }
    case '/__admin/state':
      return json(res, 200, state);
    case '/__admin/add-request': {
      // A guest's request arriving: stored, and pushed as "new-request" unless told otherwise.
      const ev = ensureEvent(o.eventId);
      ev.requests.push(o.request);
      if (io && o.emit !== false) io.to(String(o.eventId)).emit('new-request', { requests: [o.request] });
      return json(res, 200, { ok: true });
    }
    case '/__admin/add-message': {
      const ev = ensureEvent(o.eventId);
      ev.messages.push(o.message);
      if (io && o.emit !== false) io.to(String(o.eventId)).emit('new-message', { messages: [o.message] });
      return json(res, 200, { ok: true });
    }
    case '/__admin/emit': {
      // Any event, with or without a payload, to the event's room (or everyone).
      if (!io) return json(res, 500, { error: 'no socket.io' });
      const target = o.eventId ? io.to(String(o.eventId)) : io;
      if (Object.prototype.hasOwnProperty.call(o, 'payload')) target.emit(o.event, o.payload);
      else target.emit(o.event);
      return json(res, 200, { ok: true });
    }
    case '/__admin/raw': {
      // A raw Engine.IO packet to every connected client, bypassing Socket.IO's encoder.
      if (!io) return json(res, 500, { error: 'no socket.io' });
      for (const sock of io.of('/').sockets.values()) sock.conn.sendPacket('message', o.text.slice(1));
      return json(res, 200, { ok: true });
    }
    case '/__admin/disconnect-sockets':
      // Socket.IO's own disconnect: the client receives "41".
      if (io) io.of('/').disconnectSockets(false);
      return json(res, 200, { ok: true });
    case '/__admin/drop-sockets':
      // The transport cut without any farewell.
      if (io) {
        for (const sock of io.of('/').sockets.values()) {
          const ws = sock.conn.transport && sock.conn.transport.socket;
          if (ws && ws.terminate) ws.terminate(); else sock.conn.close();
        }
      }
      return json(res, 200, { ok: true });
    case '/__admin/sockets':
      return json(res, 200, { connected: io ? io.of('/').sockets.size : 0, joins, closes: socketCloses });
    default:
      return json(res, 404, { error: 'unknown admin call' });
  }
}

// The guest page and its two files, read once at start.
const publicDir = path.join(__dirname, 'public');
const pageFiles = {
  '/guest/guest.js': ['guest.js', 'text/javascript; charset=utf-8'],
  '/guest/guest.css': ['guest.css', 'text/css; charset=utf-8'],
};
const pageCache = {};
function pageFile(file) {
  if (!pageCache[file]) pageCache[file] = fs.readFileSync(path.join(publicDir, file));
  return pageCache[file];
}
const pageHeaders = {
  // Only our own script runs; guest texts are set as text and could not run anything anyway.
  'Content-Security-Policy': "default-src 'none'; script-src 'self'; style-src 'self'; connect-src 'self'; " +
    "img-src 'self' data: https: http:; base-uri 'none'; form-action 'none'; frame-ancestors 'none'",
  'X-Content-Type-Options': 'nosniff',
  'Referrer-Policy': 'no-referrer',
  'Cache-Control': 'no-cache',
};

function servePage(req, res, urlPath) {
  if (req.method !== 'GET' && req.method !== 'HEAD') return false;
  let file, type;
  if (/^\/e\/[^/]{1,100}\/?$/.test(urlPath)) [file, type] = ['guest.html', 'text/html; charset=utf-8'];
  else if (pageFiles[urlPath]) [file, type] = pageFiles[urlPath];
  else if (urlPath === '/') {
    send(res, 200, 'Floorvote – lokaler Event-Service. Die Gästeseite eines Events: /e/EVENT_ID\n', 'text/plain; charset=utf-8');
    return true;
  } else return false;
  const data = pageFile(file);
  res.writeHead(200, { ...pageHeaders, 'Content-Type': type, 'Content-Length': data.length });
  res.end(req.method === 'HEAD' ? undefined : data);
  return true;
}

const server = http.createServer((req, res) => {
  const chunks = [];
  let size = 0;
  let tooLarge = false;
  req.on('data', (c) => {
    if (tooLarge) return;
    size += c.length;
    if (size > maxBodyBytes) {
      tooLarge = true;
      chunks.length = 0;
      res.setHeader('Connection', 'close');
      json(res, 413, { error: 'Die Anfrage ist zu groß.' });
      return;
    }
    chunks.push(c);
  });
  req.on('error', () => {});
  req.on('end', () => {
    if (tooLarge) return;
    const body = Buffer.concat(chunks);
    let url;
    try {
      url = new URL(req.url, 'http://localhost');
    } catch (e) {
      return json(res, 400, { error: 'Ungültige Adresse.' });
    }
    const urlPath = url.pathname;
    if (testMode && urlPath.startsWith('/__admin/')) return admin(req, res, urlPath, body);
    if (testMode) {
      received.push({
        method: req.method,
        target: req.url,
        headers: req.headers,
        rawHeaderNames: req.rawHeaders.filter((_, i) => i % 2 === 0),
        body: body.toString('utf8'),
        bodyBase64: body.toString('base64'),
        socket: req.socket.remotePort,
      });
    }
    const answer = () => {
      if (servePage(req, res, urlPath)) return undefined;
      const type = String(req.headers['content-type'] || '');
      if (body.length && type.includes('json') && parseJson(body) === undefined) {
        return json(res, 400, { error: 'Ungültiger JSON-Inhalt.' });
      }
      res.fvPersist = req.method !== 'GET' && req.method !== 'HEAD';
      try {
        return route(req, res, urlPath, url.searchParams, body);
      } catch (e) {
        return json(res, 500, { error: 'service fault: ' + e.message });
      }
    };
    return testMode ? applyRule(req, res, urlPath, answer) : answer();
  });
});
server.keepAliveTimeout = 5000;
server.on('clientError', (err, socket) => {
  if (socket.writable) socket.end('HTTP/1.1 400 Bad Request\r\nConnection: close\r\n\r\n');
  else socket.destroy();
});

io = new Server(server, {
  path: '/ws/', pingInterval, pingTimeout, maxHttpBufferSize: maxSocketMessageBytes,
  // The guest page comes from this service; pages of other sites may not open its channel from
  // a visitor's browser. Programs (the DJ's, simulated guests) send no Origin.
  allowRequest: (req, callback) => {
    const origin = req.headers.origin;
    if (!origin) return callback(null, true);
    let same = false;
    try { same = new URL(origin).host === req.headers.host; } catch (e) { same = false; }
    return callback(null, same);
  },
});
io.on('connection', (socket) => {
  const eventId = socket.handshake.query && socket.handshake.query.eventId;
  if (eventId) socket.join(String(eventId));
  socket.on('join-dj', (o) => {
    if (!o || typeof o.eventId !== 'string') return;
    socket.join(o.eventId);
    if (testMode) joins.push({ eventId: o.eventId, socketId: socket.id });
  });
  if (testMode) socket.on('disconnect', (reason) => socketCloses.push(reason));
});
guests = attachGuests({ io, get state() { return state; }, persist, nextId, warn });

// The addresses guests on the booth network can reach.
function lanAddresses(p) {
  const out = [];
  for (const list of Object.values(os.networkInterfaces())) {
    for (const a of list || []) {
      if (a.family === 'IPv4' && !a.internal) out.push(`http://${a.address}:${p}`);
    }
  }
  return out;
}

server.on('error', (e) => {
  process.stderr.write(`Der Dienst kann nicht starten: ${e.message}\n`);
  process.exit(1);
});

server.listen(port, host, () => {
  const p = server.address().port;
  const info = { port: p, name };
  if (lan) info.addresses = lanAddresses(p);
  if (dataDir) info.data = dataDir;
  process.stdout.write(JSON.stringify(info) + '\n');
  for (const line of early) process.stdout.write(line + '\n');
  early = null;
  if (!testMode) {
    say(`Floorvote-Event-Service auf ${lan ? 'allen Netzwerken' : '127.0.0.1'}, Port ${p}; Daten in ${dataDir}`);
    for (const a of info.addresses || []) say(`Gäste im Netzwerk: ${a}/e/EVENT_ID`);
  }
});

// Pending writes finish before the service ends.
let stopping = false;
function stop() {
  if (stopping) return;
  stopping = true;
  persist().finally(() => process.exit(0));
}
process.on('SIGINT', stop);
process.on('SIGTERM', stop);
// Started through a pipe (by a test or by floorvote), the service ends with its starter.
try {
  if (fs.fstatSync(0).isFIFO()) {
    process.stdin.on('end', stop);
    process.stdin.on('error', stop);
    process.stdin.resume();
  }
} catch (e) {
  // no standard input at all
}
