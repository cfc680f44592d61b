// Beatport, TIDAL, Apple Music and Spotify catalogue look-ups as the services answer them, on one
// loopback port. Prints {"port": N} once it listens and exits when its standard input ends.
// Ids and ISRCs steer the answers:
//   404…  not found      401 is given for a wrong or missing bearer token
//   BAD…  a malformed body
//   SLOW… one 429 with Retry-After: 1, then the answer
//   NOAPPLE… / NOSPOTIFY…   that service does not know the recording
//   FAIL…  500 everywhere
// Apple Music's song filter knows no ISRC beginning with SEARCH; its search finds "Suche N …" as
// ISRC SEARCH-N, next to a decoy with another ISRC.
'use strict';
const http = require('http');

const tokens = {beatport: 'beatport-token', tidal: 'tidal-token', apple: 'apple-dev-token', spotify: 'spotify-token'};
let count = 0;
const slowSeen = new Set();

function send(res, status, body, headers = {}) {
  const text = typeof body === 'string' ? body : JSON.stringify(body);
  res.writeHead(status, Object.assign({'Content-Type': 'application/json'}, headers));
  res.end(text);
}

// Common steering by an id or ISRC; true when it answered.
function steer(res, key) {
  if (key.startsWith('404')) return send(res, 404, {errors: [{status: '404', title: 'Not Found'}]}), true;
  if (key.startsWith('FAIL')) return send(res, 500, {error: 'internal'}), true;
  if (key.startsWith('BAD')) return send(res, 200, '{"data": [ {"id": '), true;
  if (key.startsWith('SLOW') && !slowSeen.has(key)) {
    slowSeen.add(key);
    send(res, 429, {errors: [{status: '429'}]}, {'Retry-After': '1'});
    return true;
  }
  return false;
}

function authorized(req, res, service) {
  if (req.headers.authorization === 'Bearer ' + tokens[service]) return true;
  send(res, 401, {error: 'unauthorized'});
  return false;
}

function appleSong(isrc, title) {
  return {
    id: 'am-' + isrc, type: 'songs',
    attributes: {
      name: title || 'Song ' + isrc, isrc,
      artwork: {width: 3000, height: 3000, url: 'https://is1.example/' + isrc + '/{w}x{h}bb.jpg'},
      previews: [{url: 'https://audio.example/' + isrc + '.m4a'}, {url: 'https://audio.example/second.m4a'}],
    },
  };
}

const server = http.createServer((req, res) => {
  const url = new URL(req.url, 'http://localhost');
  const path = url.pathname;
  if (path === '/__count') return send(res, 200, {count});
  count++;
  let m;
  if ((m = path.match(/^\/v4\/catalog\/tracks\/([^/]+)$/))) {
    if (!authorized(req, res, 'beatport')) return;
    const id = decodeURIComponent(m[1]);
    if (steer(res, id)) return;
    return send(res, 200, {id: Number(id) || id, name: 'Track ' + id, isrc: 'BP' + id, bpm: 124});
  }
  if ((m = path.match(/^\/v2\/tracks\/([^/]+)$/))) {
    if (!authorized(req, res, 'tidal')) return;
    if (url.searchParams.get('countryCode') !== 'US') return send(res, 400, {errors: [{code: 'countryCode'}]});
    const id = decodeURIComponent(m[1]);
    if (steer(res, id)) return;
    return send(res, 200, {data: {id, type: 'tracks', attributes: {title: 'Track ' + id, isrc: 'TD' + id}}},
                {'Content-Type': 'application/vnd.api+json'});
  }
  if ((m = path.match(/^\/v1\/catalog\/([a-z]{2})\/songs$/))) {
    if (!authorized(req, res, 'apple')) return;
    const isrc = url.searchParams.get('filter[isrc]') || '';
    if (steer(res, isrc)) return;
    if (isrc.startsWith('NOAPPLE') || isrc.startsWith('SEARCH')) return send(res, 200, {data: []});
    return send(res, 200, {data: [appleSong(isrc)]});
  }
  if ((m = path.match(/^\/v1\/catalog\/([a-z]{2})\/search$/))) {
    if (!authorized(req, res, 'apple')) return;
    if (url.searchParams.get('types') !== 'songs' || url.searchParams.get('limit') !== '5') return send(res, 400, {});
    const term = url.searchParams.get('term') || '';
    const found = term.match(/^Suche (\d+) /);
    const data = [appleSong('DECOY', 'Suche')];
    if (found) data.push(appleSong('SEARCH-' + found[1], term));
    return send(res, 200, {results: {songs: {data, href: '/v1/catalog/de/search'}}});
  }
  if (path === '/v1/search') {
    if (!authorized(req, res, 'spotify')) return;
    const q = url.searchParams.get('q') || '';
    if (!q.startsWith('isrc:') || url.searchParams.get('type') !== 'track') return send(res, 400, {error: {status: 400}});
    const isrc = q.slice(5);
    if (steer(res, isrc)) return;
    const items = isrc.includes('NOSPOTIFY') ? [] : [{
      id: 'sp-' + isrc, name: 'Song', preview_url: isrc.startsWith('NOAPPLE') ? 'https://p.scdn.example/' + isrc : null,
      album: {images: [{url: 'https://i.scdn.example/' + isrc + '-640', width: 640}, {url: 'https://i.scdn.example/' + isrc + '-64', width: 64}]},
      external_ids: {isrc},
    }];
    return send(res, 200, {tracks: {items, total: items.length, limit: 1, offset: 0}});
  }
  send(res, 404, {error: 'no such path'});
});

server.listen(0, '127.0.0.1', () => {
  process.stdout.write(JSON.stringify({port: server.address().port}) + '\n');
});
process.stdin.on('end', () => process.exit(0));
process.stdin.resume();
