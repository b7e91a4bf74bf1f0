// The real server for a browser test, in `folder` on free loopback ports.
'use strict';

const net = require('net');
const { spawn } = require('child_process');

// `count` free TCP ports on loopback, all held open until the last is found, so that
// two asked for at once are never the same port.
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

// Starts `binary server` in `folder` with the environment `envFor(ports)` adds for
// `count` free ports, and resolves once its log holds `ready`: { server, ports, Log },
// Log() giving the log so far. A port taken by someone else between its choice and the
// server's bind (errno 98) is a race, not a fault: the start is tried again on other
// ports, as the end-to-end tests' harness does. Anything else rejects with the log.
async function StartServer(binary, folder, count, envFor, ready, timeoutMs = 15000) {
  for (let attempt = 1; ; ++attempt) {
    const ports = await FreePorts(count);
    const server = spawn(binary, ['server'], {
      cwd: folder,
      env: { ...process.env, ...envFor(ports) },
      stdio: ['ignore', 'pipe', 'pipe'],
    });
    let log = '';
    let exited = false;
    server.stdout.on('data', (d) => { log += d; });
    server.stderr.on('data', (d) => { log += d; });
    server.once('exit', () => { exited = true; });
    const deadline = Date.now() + timeoutMs;
    while (!log.includes(ready) && !exited && Date.now() < deadline) {
      await new Promise((resolve) => setTimeout(resolve, 20));
    }
    if (log.includes(ready)) return { server, ports, Log: () => log };
    server.kill('SIGKILL');
    if (/Error binding [^\n]*: 98\b/.test(log) && attempt < 5) continue;
    throw new Error(`the server did not say "${ready}":\n${log}`);
  }
}

module.exports = { FreePorts, StartServer };
