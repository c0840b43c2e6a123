// Sends pushes to the endpoint as a provider does, over one HTTP/2 connection with at most
// `inFlight` streams open, each push naming an image of its own, and prints one JSON line:
// {"sent": {"<apns-id>": <ms since the epoch when its POST went>}, "failed": [...]}.
//   node latency.js '<json: {port, ca, deviceToken, topic, images: [url, ...], inFlight}>'
// Node's own http2 module: no package to install.
'use strict';

const crypto = require('crypto');
const fs = require('fs');
const http2 = require('http2');
const { performance } = require('perf_hooks');

const request = JSON.parse(process.argv[2]);
const session = http2.connect(`https://127.0.0.1:${request.port}`, {
  ca: fs.readFileSync(request.ca),
});
const sent = {};
const failed = [];
let next = 0;
let closed = 0;

// The wall clock, to the microsecond: the bench reads the lines against time.time().
const now = () => performance.timeOrigin + performance.now();

function sendOne() {
  const i = next++;
  const id = crypto.randomUUID();
  const body = JSON.stringify({
    aps: { alert: { title: `Picture ${i}`, body: 'From the harbour' }, 'mutable-content': 1 },
    image: request.images[i],
  });
  const stream = session.request({
    ':method': 'POST',
    ':path': `/3/device/${request.deviceToken}`,
    'apns-id': id,
    'apns-topic': request.topic,
    'apns-push-type': 'alert',
  });
  sent[id] = now();
  stream.on('response', headers => {
    if (headers[':status'] !== 200) failed.push({ id, status: headers[':status'] });
  });
  stream.resume();
  stream.on('close', () => {
    closed++;
    if (next < request.images.length) {
      sendOne();
    } else if (closed === request.images.length) {
      session.close();
      process.stdout.write(JSON.stringify({ sent, failed }) + '\n');
    }
  });
  stream.end(body);
}

session.on('error', error => {
  process.stderr.write(String(error) + '\n');
  process.exit(1);
});
for (let i = 0; i < Math.min(request.inFlight, request.images.length); i++) sendOne();
