// The Apple Music API's library playlist creation (POST /v1/me/library/playlists) as Apple documents
// it: a developer token as bearer, the Music-User-Token header, a JSON body with attributes.name and
// relationships.tracks.data of {id, type: "songs"}; 201 with the new library playlist.
// Prints {"port": N} once it listens and exits when its standard input ends.
// Steering by the playlist name: FAIL… answers 500, BAD… a malformed body, CUT… closes the connection.
// GET /__last gives the last request as received.
'use strict';
const http = require('http');

const developerToken = 'apple-dev-token';
const userToken = 'music-user-token';
let last = null;
let created = 0;

function send(res, status, body) {
  const text = typeof body === 'string' ? body : JSON.stringify(body);
  res.writeHead(status, {'Content-Type': 'application/json'});
  res.end(text);
}

function error(res, status, title, detail) {
  send(res, status, {errors: [{id: String(Date.now()), status: String(status), code: String(status * 100), title, detail}]});
}

function validBody(b) {
  if (!b || typeof b !== 'object' || Array.isArray(b)) return 'body is not an object';
  if (!b.attributes || typeof b.attributes.name !== 'string' || b.attributes.name === '') return 'attributes.name';
  if (b.attributes.description !== undefined && typeof b.attributes.description !== 'string') return 'attributes.description';
  if (b.relationships === undefined) return null;
  const t = b.relationships.tracks;
  if (!t || !Array.isArray(t.data)) return 'relationships.tracks.data';
  for (const d of t.data) {
    if (!d || typeof d.id !== 'string' || d.id === '') return 'track id';
    if (!['songs', 'library-songs', 'music-videos', 'library-music-videos'].includes(d.type)) return 'track type';
  }
  return null;
}

const server = http.createServer((req, res) => {
  let body = '';
  req.on('data', (c) => { body += c; });
  req.on('end', () => {
    if (req.url === '/__last') return send(res, 200, last || {});
    last = {method: req.method, url: req.url, headers: req.headers, body};
    if (req.url !== '/v1/me/library/playlists') return error(res, 404, 'Resource Not Found', req.url);
    if (req.method !== 'POST') return error(res, 405, 'Method Not Allowed', req.method);
    if (req.headers.authorization !== 'Bearer ' + developerToken) return error(res, 401, 'Unauthorized', 'developer token');
    if (req.headers['music-user-token'] !== userToken) return error(res, 403, 'Forbidden', 'Music-User-Token');
    if (!(req.headers['content-type'] || '').startsWith('application/json')) return error(res, 400, 'Invalid Request', 'content type');
    let parsed;
    try { parsed = JSON.parse(body); } catch (e) { return error(res, 400, 'Invalid Request', 'JSON'); }
    const problem = validBody(parsed);
    if (problem) return error(res, 400, 'Invalid Request', problem);
    const name = parsed.attributes.name;
    if (name.startsWith('FAIL')) return error(res, 500, 'Internal Server Error', 'try later');
    if (name.startsWith('BAD')) return send(res, 201, '{"data": [ {"id": ');
    if (name.startsWith('CUT')) return req.socket.destroy();
    created++;
    const id = 'p.' + 'A'.repeat(10) + created;
    send(res, 201, {data: [{id, type: 'library-playlists', href: '/v1/me/library/playlists/' + id,
      attributes: {name, canEdit: true, isPublic: false, hasCatalog: false, playParams: {id, kind: 'playlist', isLibrary: true},
        dateAdded: new Date().toISOString()}}]});
  });
});

server.listen(0, '127.0.0.1', () => {
  process.stdout.write(JSON.stringify({port: server.address().port}) + '\n');
});
process.stdin.on('end', () => process.exit(0));
process.stdin.resume();
