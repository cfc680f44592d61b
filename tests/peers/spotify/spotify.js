// The Spotify accounts service and the Web API parts a contract mock cannot play, on one loopback
// port: the PKCE sign-in (the verifier is checked against the challenge), refresh tokens that
// rotate (a used one is dead), client credentials, playlists paged 50 at a time, 403 for a playlist
// of someone else, 429 with Retry-After, and broken answers. The API answers at the root ("/me",
// "/playlists/..."), as the contract's paths are written, so a validating proxy can stand in front.
// Prints {"port": N} once it listens and exits when its standard input ends.
//
// Options: --ttl SECONDS      expires_in of access tokens (default 3600)
//          --tracks FILE      JSON list of {title, artist, durationMs, isrc?} for the playlist OWN
//
// Admin: GET /__state (what was asked and written), POST /__expire (every access token expires),
//        POST /__revoke (every refresh token dies).
'use strict';
const http = require('http');
const crypto = require('crypto');
const fs = require('fs');

const CLIENT_ID = 'floorvote-test-client';
const CLIENT_SECRET = 'floorvote-test-secret';
const USER = {id: 'dj-floor', display_name: 'DJ Floor'};
const API = 'https://api.spotify.com/v1';

const ids = {
  own: '4rOwn250TracksPlaylist',      // the DJ's playlist (250 tracks unless --tracks)
  collab: '6cCollabPlaylist00000A',   // a collaborative one: readable
  foreign: '3xForeignPlaylistAbCdE',  // someone else's: /items answers 403
  editorial: '37i9dQZF1DXcBWIGoYBM5M', // Spotify's own: 404 everywhere
  slow: '5sRateLimitedPlaylist1',     // the first /items asks answer 429, Retry-After: 1
  busy: '7bAlwaysBusyPlaylist01',     // /items always answers 429
  old: '8oOldShapePlaylist0001',      // items carry only the deprecated `track`
  mixed: '9mMixedItemsPlaylist01',    // episodes, unavailable and broken entries among tracks
  // Broken answers (to be asked directly, not through the contract proxy):
  malformed: '1aMalformedJson000001',
  wrongTypes: '1bWrongTypes000000001',
  noItems: '1cNoItemsKey000000001',
  serverError: '1dServerError00000001',
  drop: '1eDropConnection00001',
  hang: '1fHangForever00000001',
  emptyNext: '1gEmptyPageWithNext01',
};

const args = process.argv.slice(2);
const opt = (name, def) => {
  const i = args.indexOf(name);
  return i >= 0 ? args[i + 1] : def;
};
const ttl = Number(opt('--ttl', '3600'));

// ---- data

function base62(n, len = 22) {
  const abc = '0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz';
  let s = '';
  for (let i = 0; i < len; i++) {
    s = abc[n % 62] + s;
    n = Math.floor(n / 62);
  }
  return s;
}

function trackObject(id, title, artists, durationMs, isrc, album) {
  const artistObjects = artists.map((name, k) => ({
    external_urls: {spotify: 'https://open.spotify.com/artist/' + base62(1000 + k)},
    href: API + '/artists/' + base62(1000 + k), id: base62(1000 + k), name, type: 'artist',
    uri: 'spotify:artist:' + base62(1000 + k),
  }));
  const albumId = base62(5000 + (id.charCodeAt(21) || 0));
  return {
    album: {
      album_type: 'album', total_tracks: 12, available_markets: ['DE'],
      external_urls: {spotify: 'https://open.spotify.com/album/' + albumId}, href: API + '/albums/' + albumId,
      id: albumId, images: [{url: 'https://i.scdn.co/image/' + albumId, height: 640, width: 640}],
      name: album || 'Album', release_date: '2024-05-17', release_date_precision: 'day', type: 'album',
      uri: 'spotify:album:' + albumId, artists: artistObjects,
    },
    artists: artistObjects, available_markets: ['DE'], disc_number: 1, duration_ms: durationMs, explicit: false,
    external_ids: isrc ? {isrc} : {}, external_urls: {spotify: 'https://open.spotify.com/track/' + id},
    href: API + '/tracks/' + id, id, is_playable: true, name: title, popularity: 50,
    preview_url: 'https://p.scdn.co/mp3-preview/' + id, track_number: 1, type: 'track',
    uri: 'spotify:track:' + id, is_local: false,
  };
}

function defaultTracks(n) {
  const out = [];
  for (let i = 1; i <= n; i++)
    out.push({title: 'Titel ' + i, artist: 'Künstler ' + (i % 40), durationMs: 180000 + i * 1000,
              isrc: 'DEFV' + String(i).padStart(8, '0')});
  return out;
}

const ownTracks = opt('--tracks') ? JSON.parse(fs.readFileSync(opt('--tracks'), 'utf8')) : defaultTracks(250);

function tracksOf(playlistId) {
  if (playlistId === ids.own) return ownTracks;
  if (playlistId === ids.collab) return defaultTracks(3);
  if (playlistId === ids.slow || playlistId === ids.busy || playlistId === ids.old) return defaultTracks(7);
  const made = state.created.find((p) => p.id === playlistId);
  if (made) return made.tracks;
  return null;
}

function trackAt(playlistId, t, i) {
  const id = t.id || base62(i + 1 + (playlistId.charCodeAt(0) * 100000));
  return trackObject(id, t.title, [t.artist].concat(t.featuring || []), t.durationMs, t.isrc, t.album);
}

function playlistItem(track, shape) {
  const entry = {
    added_at: '2026-01-10T20:15:00Z',
    added_by: {external_urls: {spotify: 'https://open.spotify.com/user/' + USER.id}, href: API + '/users/' + USER.id,
               id: USER.id, type: 'user', uri: 'spotify:user:' + USER.id},
    is_local: false,
  };
  if (shape !== 'old') entry.item = track;
  entry.track = track;
  return entry;
}

function playlistObject(id, name, owner, total, extra = {}) {
  return Object.assign({
    collaborative: id === ids.collab, description: '', external_urls: {spotify: 'https://open.spotify.com/playlist/' + id},
    href: API + '/playlists/' + id, id, images: [{url: 'https://mosaic.scdn.co/640/' + id, height: 640, width: 640}],
    name, owner: {external_urls: {spotify: 'https://open.spotify.com/user/' + owner.id}, href: API + '/users/' + owner.id,
                  id: owner.id, type: 'user', uri: 'spotify:user:' + owner.id, display_name: owner.display_name},
    public: false, snapshot_id: 'snap-' + id, items: {href: API + '/playlists/' + id + '/items', total},
    tracks: {href: API + '/playlists/' + id + '/tracks', total}, type: 'playlist', uri: 'spotify:playlist:' + id,
  }, extra);
}

// ---- state

const state = {
  authorize: [], token: [], api: [], created: [], added: {}, slowSeen: 0,
  codes: new Map(), refresh: new Set(), access: new Map(),
};

function issue(kind) {
  const at = 'at-' + crypto.randomBytes(12).toString('hex');
  state.access.set(at, {kind, expires: Date.now() + ttl * 1000});
  const answer = {access_token: at, token_type: 'Bearer', expires_in: ttl};
  if (kind === 'user') {
    const rt = 'rt-' + crypto.randomBytes(12).toString('hex');
    state.refresh.add(rt);
    answer.refresh_token = rt;
    answer.scope = 'playlist-read-private playlist-read-collaborative playlist-modify-private playlist-modify-public';
  }
  return answer;
}

// ---- HTTP

function send(res, status, body, headers = {}) {
  const text = typeof body === 'string' ? body : JSON.stringify(body);
  res.writeHead(status, Object.assign({'Content-Type': 'application/json', 'Content-Length': Buffer.byteLength(text)}, headers));
  res.end(text);
}
const apiError = (res, status, message, headers) => send(res, status, {error: {status, message}}, headers);
const b64url = (buf) => buf.toString('base64').replace(/\+/g, '-').replace(/\//g, '_').replace(/=+$/, '');

function authorize(req, res, url) {
  const q = url.searchParams;
  state.authorize.push(Object.fromEntries(q));
  const redirect = q.get('redirect_uri') || '';
  let r;
  try { r = new URL(redirect); } catch (e) { return send(res, 400, 'INVALID_CLIENT: Invalid redirect URI', {'Content-Type': 'text/plain'}); }
  // Loopback IP literals over http only; "localhost" is refused.
  if (r.protocol !== 'http:' || !(r.hostname === '127.0.0.1' || r.hostname === '[::1]'))
    return send(res, 400, 'INVALID_CLIENT: Insecure redirect URI', {'Content-Type': 'text/plain'});
  if (q.get('client_id') !== CLIENT_ID && q.get('client_id') !== 'deny')
    return send(res, 400, 'INVALID_CLIENT: Invalid client', {'Content-Type': 'text/plain'});
  if (q.get('response_type') !== 'code' || q.get('code_challenge_method') !== 'S256' ||
      !/^[A-Za-z0-9_-]{43}$/.test(q.get('code_challenge') || ''))
    return send(res, 400, 'INVALID_REQUEST', {'Content-Type': 'text/plain'});
  const scope = (q.get('scope') || '').split(' ');
  for (const s of ['playlist-read-private', 'playlist-read-collaborative', 'playlist-modify-private', 'playlist-modify-public'])
    if (!scope.includes(s)) return send(res, 400, 'INVALID_SCOPE', {'Content-Type': 'text/plain'});
  const back = new URL(redirect);
  if (q.get('state') !== null) back.searchParams.set('state', q.get('state'));
  if (q.get('client_id') === 'deny') {
    back.searchParams.set('error', 'access_denied');
  } else {
    const code = 'code-' + crypto.randomBytes(12).toString('hex');
    state.codes.set(code, {challenge: q.get('code_challenge'), redirect, clientId: q.get('client_id')});
    back.searchParams.set('code', code);
  }
  res.writeHead(302, {Location: back.toString()});
  res.end();
}

function token(req, res, body) {
  if (!(req.headers['content-type'] || '').startsWith('application/x-www-form-urlencoded'))
    return send(res, 400, {error: 'invalid_request', error_description: 'content type'});
  const f = new URLSearchParams(body);
  const grant = f.get('grant_type');
  state.token.push({grant, form: Object.fromEntries(f), authorization: req.headers.authorization || null});
  const invalid = (d) => send(res, 400, {error: 'invalid_grant', error_description: d});
  if (grant === 'authorization_code') {
    const c = state.codes.get(f.get('code') || '');
    if (!c) return invalid('Invalid authorization code');
    state.codes.delete(f.get('code'));
    if (f.get('client_id') !== c.clientId) return send(res, 400, {error: 'invalid_client'});
    if (f.get('redirect_uri') !== c.redirect) return invalid('Invalid redirect URI');
    const verifier = f.get('code_verifier') || '';
    if (verifier.length < 43 || verifier.length > 128) return invalid('code_verifier length');
    if (b64url(crypto.createHash('sha256').update(verifier).digest()) !== c.challenge) return invalid('code_verifier was incorrect');
    return send(res, 200, issue('user'));
  }
  if (grant === 'refresh_token') {
    const rt = f.get('refresh_token') || '';
    if (f.get('client_id') !== CLIENT_ID) return send(res, 400, {error: 'invalid_client'});
    if (!state.refresh.has(rt)) return invalid('Refresh token revoked');
    state.refresh.delete(rt);  // rotation: a used refresh token is dead
    return send(res, 200, issue('user'));
  }
  if (grant === 'client_credentials') {
    const want = 'Basic ' + Buffer.from(CLIENT_ID + ':' + CLIENT_SECRET).toString('base64');
    if (req.headers.authorization !== want) return send(res, 401, {error: 'invalid_client', error_description: 'Invalid client secret'});
    return send(res, 200, issue('app'));
  }
  return send(res, 400, {error: 'unsupported_grant_type'});
}

function page(url, all, offset, limit, path) {
  const next = offset + limit < all.length ? `${API}${path}?offset=${offset + limit}&limit=${limit}` : null;
  const previous = offset > 0 ? `${API}${path}?offset=${Math.max(0, offset - limit)}&limit=${limit}` : null;
  return {href: `${API}${path}?offset=${offset}&limit=${limit}`, items: all.slice(offset, offset + limit), limit, next,
          offset, previous, total: all.length};
}

function paging(url) {
  const limit = Number(url.searchParams.get('limit') || '20');
  const offset = Number(url.searchParams.get('offset') || '0');
  return {limit, offset};
}

function items(req, res, url, id) {
  const {limit, offset} = paging(url);
  const path = `/playlists/${id}/items`;
  if (id === ids.foreign) return apiError(res, 403, 'Forbidden');
  if (id === ids.editorial) return apiError(res, 404, 'Resource not found');
  if (id === ids.busy) return apiError(res, 429, 'API rate limit exceeded', {'Retry-After': '1'});
  if (id === ids.slow && state.slowSeen++ < 2) return apiError(res, 429, 'API rate limit exceeded', {'Retry-After': '1'});
  if (id === ids.malformed) return send(res, 200, '{"items": [ {"item": {"id": "abc", "name": ');
  if (id === ids.noItems) return send(res, 200, {next: null, total: 3});
  if (id === ids.serverError) return apiError(res, 500, 'Server error');
  if (id === ids.drop) return req.socket.destroy();
  if (id === ids.hang) return;  // never answers
  if (id === ids.emptyNext) return send(res, 200, {href: '', items: [], limit, next: `${API}${path}?offset=${offset}`, offset, previous: null, total: 9});
  if (id === ids.wrongTypes) {
    const good = trackObject(base62(77), 'Gut', ['Echt'], 200000, 'GOOD00000001');
    return send(res, 200, page(url, [
      {item: Object.assign({}, good, {duration_ms: 'lang'})},
      {item: Object.assign({}, good, {name: 5})},
      {item: Object.assign({}, good, {artists: 'niemand'})},
      {item: 'kein Objekt'},
      {item: good},
    ], offset, limit, path));
  }
  if (id === ids.mixed) {
    const t = trackObject(base62(88), 'Song', ['A', 'B'], 215000, 'MIXED0000001');
    const local = Object.assign({}, trackObject(base62(89), 'Lokale Datei', ['C'], 100000, null), {id: null, is_local: true});
    return send(res, 200, page(url, [
      {item: null, track: null},
      {item: {type: 'episode', id: base62(90), name: 'Podcast', duration_ms: 3600000}},
      {item: t, track: t},
      {item: local},
    ], offset, limit, path));
  }
  const tracks = tracksOf(id);
  if (!tracks) return apiError(res, 404, 'Resource not found');
  const all = tracks.map((t, i) => playlistItem(trackAt(id, t, i), id === ids.old ? 'old' : 'new'));
  return send(res, 200, page(url, all, offset, limit, path));
}

function api(req, res, url, body) {
  const path = url.pathname;
  state.api.push({method: req.method, path, query: url.search});
  const auth = req.headers.authorization || '';
  const tok = state.access.get(auth.replace(/^Bearer /, ''));
  if (!tok || tok.expires < Date.now()) return apiError(res, 401, 'The access token expired');
  let m;
  if (path === '/me' && req.method === 'GET') {
    if (tok.kind !== 'user') return apiError(res, 403, 'Forbidden');
    return send(res, 200, {display_name: USER.display_name, external_urls: {spotify: 'https://open.spotify.com/user/' + USER.id},
                           href: API + '/users/' + USER.id, id: USER.id, type: 'user', uri: 'spotify:user:' + USER.id});
  }
  if (path === '/me/playlists' && req.method === 'GET') {
    if (tok.kind !== 'user') return apiError(res, 403, 'Forbidden');
    const {limit, offset} = paging(url);
    const lists = [playlistObject(ids.own, 'Letzte Woche', USER, ownTracks.length),
                   playlistObject(ids.collab, 'Gemeinsam', {id: 'friend', display_name: 'Freundin'}, 3)];
    for (let i = 0; i < 60; i++) lists.push(playlistObject(base62(300 + i), 'Liste ' + i, USER, i));
    return send(res, 200, page(url, lists, offset, limit, '/me/playlists'));
  }
  if (path === '/me/playlists' && req.method === 'POST') {
    if (tok.kind !== 'user') return apiError(res, 403, 'Forbidden');
    let j;
    try { j = JSON.parse(body); } catch (e) { return apiError(res, 400, 'Error parsing JSON.'); }
    if (typeof j.name !== 'string') return apiError(res, 400, 'Missing required field: name');
    const id = base62(900000 + state.created.length);
    state.created.push({id, name: j.name, public: j.public, description: j.description, tracks: []});
    state.added[id] = [];
    const empty = page(url, [], 0, 100, `/playlists/${id}/items`);
    return send(res, 201, playlistObject(id, j.name, USER, 0, {description: j.description || '', items: empty, tracks: empty}));
  }
  if ((m = path.match(/^\/playlists\/([^/]+)\/items$/))) {
    const id = decodeURIComponent(m[1]);
    if (req.method === 'GET') return items(req, res, url, id);
    if (req.method === 'POST') {
      if (tok.kind !== 'user') return apiError(res, 403, 'Forbidden');
      const made = state.created.find((p) => p.id === id);
      if (!made && id !== ids.own) return apiError(res, 403, 'Forbidden');
      let j;
      try { j = JSON.parse(body); } catch (e) { return apiError(res, 400, 'Error parsing JSON.'); }
      if (!Array.isArray(j.uris) || j.uris.length === 0 || j.uris.length > 100) return apiError(res, 400, 'Invalid uris');
      for (const u of j.uris) if (!/^spotify:track:[A-Za-z0-9]{22}$/.test(u)) return apiError(res, 400, 'Invalid track uri: ' + u);
      (state.added[id] = state.added[id] || []).push(j.uris);
      if (made) for (const u of j.uris) made.tracks.push({id: u.slice(14), title: 'Titel', artist: 'Künstler', durationMs: 200000});
      return send(res, 201, {snapshot_id: 'snap-' + id + '-' + state.added[id].length});
    }
  }
  if ((m = path.match(/^\/playlists\/([^/]+)$/)) && req.method === 'GET') {
    const id = decodeURIComponent(m[1]);
    if (id === ids.editorial) return apiError(res, 404, 'Resource not found');
    if (id === ids.foreign) {
      const other = {id: 'other', display_name: 'Jemand'};
      if (url.searchParams.get('fields')) return send(res, 200, {name: 'Fremde Liste', owner: other});
      return send(res, 200, playlistObject(id, 'Fremde Liste', other, 12));
    }
    if (id === ids.serverError) return apiError(res, 500, 'Server error');
    const tracks = tracksOf(id);
    if (!tracks) return apiError(res, 404, 'Resource not found');
    const made = state.created.find((p) => p.id === id);
    const name = id === ids.own ? 'Letzte Woche' : made ? made.name : 'Liste';
    const owner = id === ids.collab ? {id: 'friend', display_name: 'Freundin'} : USER;
    const full = playlistObject(id, name, owner, tracks.length);
    // The full object carries the first page of items; `fields` picks parts (only the ones asked here).
    const first = page(url, tracks.map((t, i) => playlistItem(trackAt(id, t, i))), 0, 100, `/playlists/${id}/items`);
    full.items = first;
    full.tracks = first;
    if (url.searchParams.get('fields') === 'name,owner(id,display_name)')
      return send(res, 200, {name: full.name, owner: {id: full.owner.id, display_name: full.owner.display_name}});
    return send(res, 200, full);
  }
  if (path === '/search' && req.method === 'GET') {
    const q = url.searchParams.get('q') || '';
    const isrc = q.startsWith('isrc:') ? q.slice(5) : '';
    const found = isrc && !isrc.startsWith('NONE') ? [trackObject(base62(7000 + isrc.length), 'Gefunden', ['X'], 1000, isrc)] : [];
    return send(res, 200, {tracks: page(url, found, 0, 1, '/search')});
  }
  return apiError(res, 404, 'Service not found');
}

const server = http.createServer((req, res) => {
  let body = '';
  req.setEncoding('utf8');
  req.on('data', (d) => { body += d; });
  req.on('end', () => {
    const url = new URL(req.url, 'http://127.0.0.1');
    if (url.pathname === '/__state') {
      return send(res, 200, {authorize: state.authorize, token: state.token, api: state.api, created: state.created,
                             added: state.added, refreshValid: state.refresh.size});
    }
    if (url.pathname === '/__expire') {
      for (const t of state.access.values()) t.expires = 0;
      return send(res, 200, {});
    }
    if (url.pathname === '/__revoke') {
      state.refresh.clear();
      return send(res, 200, {});
    }
    if (url.pathname === '/authorize' && req.method === 'GET') return authorize(req, res, url);
    if (url.pathname === '/api/token' && req.method === 'POST') return token(req, res, body);
    return api(req, res, url, body);
  });
});

server.listen(0, '127.0.0.1', () => {
  process.stdout.write(JSON.stringify({port: server.address().port}) + '\n');
});
process.stdin.on('end', () => process.exit(0));
process.stdin.resume();
