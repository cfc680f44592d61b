'use strict';
// A stand-in for VirtualDJ's network-control plugin: GET /query?script=... answers the script's
// value as plain text, POST /execute takes a script as the body and answers "true" or "false",
// and loading the file a deck already holds answers 400. With --password every call needs
// "Authorization: Bearer <password>". --mode slow delays every answer by --delay ms, dead accepts
// connections and never answers, garbage answers bytes that are not HTTP.
// Prints {"port": N} once it listens; exits when its standard input ends.

const http = require('http');
const net = require('net');
const fs = require('fs');
const path = require('path');

function argValue(name, def) {
  const i = process.argv.indexOf(name);
  return i >= 0 && i + 1 < process.argv.length ? process.argv[i + 1] : def;
}

const password = argValue('--password', '');
let mode = argValue('--mode', 'normal');
let delayMs = Number(argValue('--delay', '3000'));

const decks = {};
for (let d = 1; d <= 4; d++) decks[d] = { title: '', artist: '', filepath: '' };
let master = 1;
const received = [];

function deckOf(word) {
  if (word === 'master') return master;
  const n = Number(word);
  return Number.isInteger(n) && n >= 1 && n <= 4 ? n : null;
}

// "deck N get_title", "deck master get_artist", "deck N get filepath"
function runQuery(script) {
  const m = /^deck (\S+) (get_title|get_artist|get filepath|get_filepath)$/.exec(script.trim());
  if (!m) return '';
  const d = deckOf(m[1]);
  if (d === null) return '';
  if (m[2] === 'get_title') return decks[d].title;
  if (m[2] === 'get_artist') return decks[d].artist;
  return decks[d].filepath;
}

// "deck N load "PATH"" (or 'PATH'): 400 when that deck holds the file already.
function runExecute(script) {
  const m = /^deck (\S+) load (?:"([^"]*)"|'([^']*)')$/.exec(script.trim());
  if (!m) return [200, 'false'];
  const d = deckOf(m[1]);
  if (d === null) return [200, 'false'];
  const file = m[2] !== undefined ? m[2] : m[3];
  if (decks[d].filepath === file) return [400, 'already loaded'];
  if (!fs.existsSync(file)) return [200, 'false'];
  const base = path.basename(file).replace(/\.[^.]*$/, '');
  const dash = base.indexOf(' - ');
  decks[d] = dash >= 0
    ? { artist: base.slice(0, dash), title: base.slice(dash + 3), filepath: file }
    : { artist: '', title: base, filepath: file };
  return [200, 'true'];
}

function answer(res, status, text) {
  const body = Buffer.from(text, 'utf8');
  res.writeHead(status, { 'Content-Type': 'text/plain; charset=utf-8', 'Content-Length': body.length });
  res.end(body);
}

function handle(req, res, body) {
  const url = new URL(req.url, 'http://127.0.0.1');
  if (url.pathname.startsWith('/__admin/')) {
    const o = body.length ? JSON.parse(body.toString('utf8')) : {};
    if (url.pathname === '/__admin/deck') {
      const d = o.deck || 1;
      decks[d] = { title: o.title || '', artist: o.artist || '', filepath: o.filepath || '' };
      if (o.master) master = d;
      return answer(res, 200, '{"ok":true}');
    }
    if (url.pathname === '/__admin/mode') {
      mode = o.mode || 'normal';
      if (o.delay !== undefined) delayMs = o.delay;
      return answer(res, 200, '{"ok":true}');
    }
    if (url.pathname === '/__admin/received') return answer(res, 200, JSON.stringify({ received, decks }));
    return answer(res, 404, 'unknown admin call');
  }
  received.push({ method: req.method, target: req.url, headers: req.headers, body: body.toString('utf8') });
  const reply = () => {
    if (password && req.headers.authorization !== 'Bearer ' + password) return answer(res, 401, 'Unauthorized');
    if (req.method === 'GET' && url.pathname === '/query') return answer(res, 200, runQuery(url.searchParams.get('script') || ''));
    if (req.method === 'POST' && url.pathname === '/execute') {
      const [status, text] = runExecute(body.toString('utf8'));
      return answer(res, status, text);
    }
    return answer(res, 404, 'Not found');
  };
  if (mode === 'slow') setTimeout(reply, delayMs); else reply();
}

const httpServer = http.createServer((req, res) => {
  const chunks = [];
  req.on('data', (c) => chunks.push(c));
  req.on('end', () => handle(req, res, Buffer.concat(chunks)));
});

// The modes that are not HTTP sit in front of the HTTP server; the admin calls always get through.
const front = net.createServer((sock) => {
  sock.once('data', (first) => {
    const isAdmin = first.toString('latin1').includes(' /__admin/');
    if (!isAdmin && mode === 'dead') return; // read, never answer
    if (!isAdmin && mode === 'garbage') { sock.end('\x00\x01garbage\xff\r\n\r\n'); return; }
    sock.pause();
    sock.unshift(first);
    httpServer.emit('connection', sock);
    sock.resume();
  });
  sock.on('error', () => {});
});

front.listen(Number(argValue('--port', '0')), '127.0.0.1', () => {
  process.stdout.write(JSON.stringify({ port: front.address().port, name: 'virtualdj' }) + '\n');
});

process.stdin.on('end', () => process.exit(0));
process.stdin.resume();
