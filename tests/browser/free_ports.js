// Free TCP ports on loopback for a server under test. All of them are held open until
// the last is found, so that two asked for at once are never the same port.
'use strict';

const net = require('net');

async function FreePorts(count) {
  const held = [];
  try {
    for (let i = 0; i < count; ++i) {
      const server = net.createServer();
      held.push(server);
      await new Promise((resolve, reject) => {
        server.once('error', reject);
        server.listen(0, '127.0.0.1', resolve);
      });
    }
    return held.map((server) => server.address().port);
  } finally {
    await Promise.all(held.map((server) => new Promise((resolve) => server.close(() => resolve()))));
  }
}

module.exports = { FreePorts };
