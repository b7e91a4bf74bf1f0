// The web client over HTTPS in a real browser: Debian's chromium, headless, driven by
// playwright-core, against the real pelthollow server's web TLS twin. The certificate
// is made for the run by the openssl command; chromium accepts it by its key's hash
// (--ignore-certificate-errors-spki-list), as it would accept one from a public
// authority. The page must load over https and play over wss.
// Usage: node web_tls_test.js PELTHOLLOW_BINARY
// Exits 0 when every step passed, 1 on a failure, 77 when chromium, playwright-core or
// openssl is missing (CTest reports that as skipped).
'use strict';

const crypto = require('crypto');
const fs = require('fs');
const os = require('os');
const path = require('path');
const { StartServer } = require('./test_server');
const { execFileSync } = require('child_process');

const kChromium = process.env.PELTHOLLOW_CHROMIUM || '/usr/bin/chromium';
const kTimeout = 15000;
const kLaunchTimeout = 60000;
const kSkip = process.env.PELTHOLLOW_REQUIRE_BROWSER === '1' ? 1 : 77;

function Missing(what) {
  console.log(`${kSkip === 1 ? 'FAIL' : 'SKIP'}: ${what}`);
  process.exit(kSkip);
}

let chromium;
try {
  ({ chromium } = require('playwright-core'));
} catch (error) {
  Missing('playwright-core is not installed (npm ci in tests/browser)');
}
if (!fs.existsSync(kChromium)) Missing(`no browser at ${kChromium} (apt-get install chromium)`);

function WaitFor(what, read, test) {
  return new Promise((resolve, reject) => {
    const deadline = Date.now() + kTimeout;
    const poll = () => {
      if (test(read())) return resolve();
      if (Date.now() > deadline) return reject(new Error(`timed out waiting for ${what}`));
      setTimeout(poll, 20);
    };
    poll();
  });
}

// A certificate for 127.0.0.1 and its key in `folder`; returns the files and the
// base64 SHA-256 of its public key, the form chromium takes.
function MakeCertificate(folder) {
  const certificate = path.join(folder, 'server.crt');
  const key = path.join(folder, 'server.key');
  try {
    execFileSync('openssl', ['req', '-x509', '-newkey', 'ec', '-pkeyopt', 'ec_paramgen_curve:P-256',
      '-nodes', '-subj', '/CN=127.0.0.1', '-addext', 'subjectAltName=IP:127.0.0.1,DNS:localhost',
      '-days', '2', '-keyout', key, '-out', certificate], { stdio: 'pipe' });
  } catch (error) {
    if (error.code === 'ENOENT') Missing('the openssl command is not installed');
    throw error;
  }
  const spki = new crypto.X509Certificate(fs.readFileSync(certificate)).publicKey
    .export({ type: 'spki', format: 'der' });
  return { certificate, key, spki: crypto.createHash('sha256').update(spki).digest('base64') };
}

async function Main() {
  const binary = path.resolve(process.argv[2]);
  const folder = fs.mkdtempSync(path.join(os.tmpdir(), 'pelthollow-browser-tls-'));
  const userData = fs.mkdtempSync(path.join(os.tmpdir(), 'pelthollow-chromium-'));
  const tls = MakeCertificate(folder);
  const { server, ports: [, tlsPort], Log } = await StartServer(binary, folder, 2, ([game, web]) => ({
    PELTHOLLOW_PORT: String(game), PELTHOLLOW_WEB_TLS_PORT: String(web), PELTHOLLOW_TLS_CERT: tls.certificate,
    PELTHOLLOW_TLS_KEY: tls.key }), 'Web client over HTTPS on port');
  let browser = null;
  try {
    browser = await chromium.launchPersistentContext(userData, {
      executablePath: kChromium,
      headless: true,
      timeout: kLaunchTimeout,
      args: ['--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
        '--disable-background-networking', '--disable-component-update', '--disable-sync',
        `--ignore-certificate-errors-spki-list=${tls.spki}`],
    });
    const page = browser.pages()[0] || await browser.newPage();
    page.setDefaultTimeout(kTimeout);
    const errors = [];
    page.on('pageerror', (error) => errors.push(String(error)));
    const sockets = [];
    page.on('websocket', (ws) => sockets.push(ws.url()));

    const origin = `https://127.0.0.1:${tlsPort}`;
    const answer = await page.goto(`${origin}/`);
    if (answer.status() !== 200) throw new Error(`the page answered ${answer.status()}`);
    const output = page.locator('#output');
    await page.locator('#command').fill('help');
    await page.keyboard.press('Enter');
    await output.getByText('Welcome to Pelthollow! Type "help" for a list of commands.').waitFor();
    await output.getByText('displays this message', { exact: false }).waitFor();
    if (!sockets.includes(`wss://127.0.0.1:${tlsPort}/ws`)) {
      throw new Error(`the page's WebSockets: ${sockets.join(' ')}`);
    }
    await WaitFor('the TLS door in the log', Log,
                  (l) => / came in by web-tls over TLSv1\.3 /.test(l));
    if (errors.length) throw new Error(`errors in the page: ${errors.join('; ')}`);
    console.log('PASS: the web client over HTTPS in chromium');
    return 0;
  } catch (error) {
    console.log(Log());
    throw error;
  } finally {
    if (browser) await browser.close();
    server.kill('SIGKILL');
    fs.rmSync(folder, { recursive: true, force: true });
    fs.rmSync(userData, { recursive: true, force: true });
  }
}

Main().then((code) => process.exit(code), (error) => {
  console.log(`FAIL: ${error.message}`);
  process.exit(1);
});
