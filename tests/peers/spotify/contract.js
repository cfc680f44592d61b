// Serves Spotify's Web API contract (spotify-web-api.yml beside this file) on loopback through
// Prism, which checks every request against it and answers 422 to one that breaks it.
//   node contract.js mock              Prism answers from the contract's examples
//   node contract.js proxy UPSTREAM    Prism passes valid requests on to UPSTREAM and checks its
//                                      answers against the contract too (500 on a violation)
// Prints {"port": N} once Prism listens; stops Prism and exits when standard input ends.
// Violations Prism reports go to standard error.
'use strict';
const {spawn} = require('child_process');
const net = require('net');
const path = require('path');

const [mode, upstream] = process.argv.slice(2);
const contract = path.join(__dirname, 'spotify-web-api.yml');
const prism = path.join(__dirname, '..', 'node_modules', '@stoplight', 'prism-cli', 'dist', 'index.js');

function freePort() {
  return new Promise((resolve, reject) => {
    const s = net.createServer();
    s.once('error', reject);
    s.listen(0, '127.0.0.1', () => {
      const {port} = s.address();
      s.close(() => resolve(port));
    });
  });
}

(async () => {
  const port = await freePort();
  const argv = mode === 'proxy'
    ? [prism, 'proxy', '--errors', '-h', '127.0.0.1', '-p', String(port), contract, upstream]
    : [prism, 'mock', '-h', '127.0.0.1', '-p', String(port), contract];
  // Prism runs behind a shim that ends it when this process goes, however it goes (its pipe closes).
  const shim = "process.stdin.on('end', () => process.exit(0)); process.stdin.resume();" +
               'process.argv = [process.argv[0]].concat(process.argv.slice(1)); require(process.argv[1]);';
  const child = spawn(process.execPath, ['-e', shim].concat(argv), {
    env: Object.assign({}, process.env, {SCARF_ANALYTICS: 'false', NO_COLOR: '1', FORCE_COLOR: '0'}),
    stdio: ['pipe', 'pipe', 'pipe'],
  });
  let announced = false;
  let buffered = '';
  const scan = (chunk) => {
    buffered += chunk.toString();
    let nl;
    while ((nl = buffered.indexOf('\n')) >= 0) {
      const line = buffered.slice(0, nl);
      buffered = buffered.slice(nl + 1);
      if (!announced && line.includes('Prism is listening')) {
        announced = true;
        process.stdout.write(JSON.stringify({port}) + '\n');
      } else if (/✖|VIOLATIONS|UNPROCESSABLE/.test(line)) {
        process.stderr.write('[prism] ' + line + '\n');
      }
    }
  };
  child.stdout.on('data', scan);
  child.stderr.on('data', scan);
  child.on('exit', (code) => {
    if (!announced) process.stderr.write('prism ended before listening: ' + code + '\n');
    process.exit(announced ? 0 : 1);
  });
  const stop = () => {
    child.kill('SIGTERM');
    setTimeout(() => process.exit(0), 2000).unref();
  };
  process.stdin.on('end', stop);
  process.on('SIGTERM', stop);
  process.on('SIGINT', stop);
  process.stdin.resume();
})();
