// Stands in for the DJ's browser during the sign-in: opens a URL, follows redirects as a browser
// does (the accounts service sends it on to the loopback callback) and prints the last answer as
// one JSON line {status, url, body}. Used as `xdg-open` in the tests.
'use strict';
const http = require('http');

function get(url, hops) {
  http.get(url, (res) => {
    let body = '';
    res.setEncoding('utf8');
    res.on('data', (d) => { body += d; });
    res.on('end', () => {
      if (res.statusCode >= 300 && res.statusCode < 400 && res.headers.location && hops < 5)
        return get(new URL(res.headers.location, url).toString(), hops + 1);
      process.stdout.write(JSON.stringify({status: res.statusCode, url, body}) + '\n');
    });
  }).on('error', (e) => {
    process.stdout.write(JSON.stringify({error: e.message, url}) + '\n');
    process.exitCode = 1;
  });
}

get(process.argv[2], 0);
