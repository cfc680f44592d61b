// A plain HTTPS peer for the client's certificate and SNI checks.
// Usage: node server.js CERT KEY; prints {"port": N} once it listens; exits when stdin ends.
// Answers {"status":"ok"} on /api/health only when the client named the host "localhost" in its handshake.
'use strict';
const https = require('https');
const fs = require('fs');

const [cert, key] = process.argv.slice(2);
const server = https.createServer({ cert: fs.readFileSync(cert), key: fs.readFileSync(key) }, (req, res) => {
  const sni = req.socket.servername || '';
  res.setHeader('Content-Type', 'application/json');
  res.end(JSON.stringify({ status: req.url === '/api/health' && sni === 'localhost' ? 'ok' : 'sni:' + sni }));
});
server.listen(0, '127.0.0.1', () => {
  process.stdout.write(JSON.stringify({ port: server.address().port }) + '\n');
});
process.stdin.on('end', () => process.exit(0));
process.stdin.resume();
