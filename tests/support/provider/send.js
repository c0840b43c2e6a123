// Sends notifications to a gateway with @parse/node-apn, as a provider would, and prints one
// JSON line: {"sent": [...], "failed": [...]} as the provider's send() resolved them.
//   node send.js '<json: {modules, port, ca, token: {key, keyId, teamId} | cert + key, notifications}>'
// Each notification: {deviceToken, topic, payload, pushType, priority, expiry, collapseId, id}.
'use strict';

async function main() {
  const request = JSON.parse(process.argv[2]);
  // The modules npm ci installed in the build tree, named by the test.
  const apn = require(require('path').join(request.modules, '@parse/node-apn'));
  const options = {
    address: '127.0.0.1',
    port: request.port,
    ca: request.ca,
    production: false,
    connectionRetryLimit: 1,
    requestTimeout: 30000,
  };
  if (request.token) {
    options.token = request.token;
  } else {
    options.cert = request.cert;
    options.key = request.key;
  }
  const provider = new apn.Provider(options);
  const sent = [];
  const failed = [];
  for (const n of request.notifications) {
    const note = new apn.Notification();
    note.rawPayload = n.payload;
    note.topic = n.topic;
    if (n.pushType) note.pushType = n.pushType;
    if (n.priority) note.priority = n.priority;
    if (n.expiry !== undefined) note.expiry = n.expiry;
    if (n.collapseId) note.collapseId = n.collapseId;
    if (n.id) note.id = n.id;
    const result = await provider.send(note, n.deviceToken);
    for (const s of result.sent) sent.push({ device: s.device, apnsId: s['apns-id'] || null });
    for (const f of result.failed) {
      failed.push({
        device: f.device,
        status: f.status === undefined ? null : Number(f.status),
        reason: f.response ? f.response.reason : f.error ? String(f.error.message || f.error) : null,
      });
    }
  }
  await provider.shutdown();
  process.stdout.write(JSON.stringify({ sent, failed }) + '\n');
}

main().catch(error => {
  process.stdout.write(JSON.stringify({ error: String(error && error.stack || error) }) + '\n');
  process.exitCode = 1;
});
