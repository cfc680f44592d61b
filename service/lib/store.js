'use strict';
// The service's state and the file that keeps it. Every change a caller acknowledges is on disk
// first: writes go to a temporary file that is synced and renamed over the old one, so a crash
// leaves either the old or the new state, never a torn file. Changes that arrive while a write is
// under way share the next write.

const fs = require('fs');
const fsp = fs.promises;
const path = require('path');

function freshState() {
  return {
    version: 1,
    events: {},            // id -> event
    accounts: {},          // email -> {djUuid, role, displayName}
    otpCodes: {},          // email -> code (test mode) or {code, expires, tries}
    accessTokens: {},      // token -> djUuid
    refreshTokens: {},     // token -> djUuid
    dedicated: { has_dedicated_server: false },
    handoff: null,         // answer of /api/auth/handoff, or null for the default
    notifications: [],
    libraries: [],
    playlists: [],
    profiles: [],
    nextId: 1000,
    health: 'ok',
  };
}

function isObject(v) { return v !== null && typeof v === 'object' && !Array.isArray(v); }

function freshEvent(id) {
  return {
    id, dj_name: '', event_name: '', dj_pin: '', is_active: false, isLive: true, guestCount: 0,
    owner: null, requests: [], messages: [], tracks: [], preferences: {}, broadcasts: [],
    nowPlaying: null, guests: {},
  };
}

// Brings an event read from disk (or set by a test) to the shape the handlers rely on.
function normalizeEvent(id, ev) {
  const out = freshEvent(id);
  if (!isObject(ev)) return out;
  for (const k of Object.keys(out)) {
    if (ev[k] === undefined) continue;
    const want = out[k];
    if (Array.isArray(want) ? Array.isArray(ev[k]) : isObject(want) ? isObject(ev[k]) : true) out[k] = ev[k];
  }
  out.id = id;
  for (const k of Object.keys(ev)) if (out[k] === undefined) out[k] = ev[k];
  return out;
}

// A stored document of the wrong shape keeps what is usable and defaults the rest.
function normalizeState(s) {
  const out = freshState();
  if (!isObject(s)) return out;
  for (const k of Object.keys(out)) {
    if (s[k] === undefined) continue;
    const want = out[k];
    if (Array.isArray(want)) { if (Array.isArray(s[k])) out[k] = s[k]; }
    else if (isObject(want)) { if (isObject(s[k])) out[k] = s[k]; }
    else if (want === null || typeof want === typeof s[k]) out[k] = s[k];
  }
  for (const [id, ev] of Object.entries(out.events)) out.events[id] = normalizeEvent(id, ev);
  let maxId = 0;
  for (const ev of Object.values(out.events)) {
    for (const list of [ev.requests, ev.messages, ev.tracks, ev.broadcasts]) {
      for (const r of list) if (r && Number.isInteger(r.id) && r.id > maxId) maxId = r.id;
    }
  }
  if (!Number.isInteger(out.nextId) || out.nextId <= maxId) out.nextId = Math.max(1000, maxId + 1);
  return out;
}

class StateFile {
  constructor(dir, currentState, warn) {
    this.dir = dir;
    this.file = path.join(dir, 'state.json');
    this.currentState = currentState;
    this.warn = warn;
    this.pending = [];
    this.writing = false;
    this.writes = 0;
  }

  // The stored state, or null when there is none. A file that does not parse is kept aside.
  load() {
    fs.mkdirSync(this.dir, { recursive: true, mode: 0o700 });
    let text;
    try {
      text = fs.readFileSync(this.file, 'utf8');
    } catch (e) {
      if (e.code === 'ENOENT') return null;
      throw e;
    }
    try {
      return normalizeState(JSON.parse(text));
    } catch (e) {
      const aside = this.file + '.defekt-' + Date.now();
      fs.renameSync(this.file, aside);
      this.warn('Gespeicherter Zustand unlesbar (' + e.message + '); beiseitegelegt als ' + aside);
      return null;
    }
  }

  // Resolves once the state as it is now is on disk.
  save() {
    return new Promise((resolve, reject) => {
      this.pending.push({ resolve, reject });
      this.pump();
    });
  }

  async pump() {
    if (this.writing) return;
    this.writing = true;
    while (this.pending.length) {
      const batch = this.pending.splice(0);
      let error = null;
      try {
        await this.writeAtomically(JSON.stringify(this.currentState()));
        this.writes++;
      } catch (e) {
        error = e;
        this.warn('Zustand konnte nicht gespeichert werden: ' + e.message);
      }
      for (const w of batch) (error ? w.reject(error) : w.resolve());
    }
    this.writing = false;
  }

  async writeAtomically(text) {
    const tmp = this.file + '.tmp';
    const fh = await fsp.open(tmp, 'w', 0o600);
    try {
      await fh.writeFile(text);
      await fh.sync();
    } finally {
      await fh.close();
    }
    await fsp.rename(tmp, this.file);
    const dh = await fsp.open(this.dir, 'r');
    try {
      await dh.sync();
    } finally {
      await dh.close();
    }
  }
}

module.exports = { freshState, freshEvent, normalizeEvent, normalizeState, StateFile, isObject };
