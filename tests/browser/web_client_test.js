// The web client in a real browser: Debian's chromium, headless, driven by
// playwright-core, against the real pelthollow server with a terminal player on TCP.
// Usage: node web_client_test.js PELTHOLLOW_BINARY [SCREENSHOT.png]
// Exits 0 when every step passed, 1 on a failure, 77 when chromium or playwright-core
// is missing (CTest reports that as skipped).
'use strict';

const fs = require('fs');
const net = require('net');
const os = require('os');
const path = require('path');
const { StartServer } = require('./test_server');
const { execFile } = require('child_process');

const kChromium = process.env.PELTHOLLOW_CHROMIUM || '/usr/bin/chromium';
const kTimeout = 15000;
// Starting chromium is the slowest step by far on a busy machine.
const kLaunchTimeout = 60000;
// Missing tools skip the test, unless it is required (CI).
const kSkip = process.env.PELTHOLLOW_REQUIRE_BROWSER === '1' ? 1 : 77;

let chromium;
let AxeBuilder;
try {
  ({ chromium } = require('playwright-core'));
  ({ AxeBuilder } = require('@axe-core/playwright'));
} catch (error) {
  console.log((kSkip === 1 ? 'FAIL' : 'SKIP') + ': playwright-core or @axe-core/playwright is not installed (npm ci in tests/browser)');
  process.exit(kSkip);
}
if (!fs.existsSync(kChromium)) {
  console.log(`${kSkip === 1 ? 'FAIL' : 'SKIP'}: no browser at ${kChromium} (apt-get install chromium)`);
  process.exit(kSkip);
}

// Resolves once `test()` holds for the text collected so far, or rejects after kTimeout.
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

// A terminal player: NUL-terminated frames over TCP.
function TcpPlayer(port) {
  const socket = net.connect(port, '127.0.0.1');
  const player = { frames: [], buffered: '' };
  socket.setEncoding('utf8');
  socket.on('data', (text) => {
    const parts = (player.buffered + text).split('\0');
    player.buffered = parts.pop();
    player.frames.push(...parts);
  });
  player.Send = (line) => socket.write(line + '\0');
  player.WaitFor = (text) => WaitFor(`"${text}" on TCP`, () => player.frames.join('\n'),
                                     (all) => all.includes(text));
  player.Close = () => socket.destroy();
  return player;
}

// The operator's console of the server run in `folder`: its answer to `words`.
function Admin(binary, folder, ...words) {
  return new Promise((resolve, reject) => {
    execFile(binary, ['admin', ...words], { cwd: folder, timeout: kTimeout }, (error, stdout) => {
      if (error) reject(error); else resolve(stdout);
    });
  });
}

async function CheckAxe(page, when) {
  const axe = await new AxeBuilder({ page }).analyze();
  if (axe.violations.length) {
    throw new Error(`axe ${when}: ` + axe.violations.map((v) => `${v.id} at ${v.nodes.map((n) => n.target).join(' ')}`).join('; '));
  }
}

async function Main() {
  const binary = path.resolve(process.argv[2]);
  const screenshot = process.argv[3];
  const folder = fs.mkdtempSync(path.join(os.tmpdir(), 'pelthollow-browser-'));
  const { server, ports: [gamePort, webPort], Log } = await StartServer(binary, folder, 2,
    ([game, web]) => ({ PELTHOLLOW_PORT: String(game), PELTHOLLOW_WEB_PORT: String(web) }), 'Web client on port');
  const userData = fs.mkdtempSync(path.join(os.tmpdir(), 'pelthollow-chromium-'));
  let browser = null;
  let tcp = null;
  try {
    // A fresh profile in its own folder; nothing is downloaded.
    browser = await chromium.launchPersistentContext(userData, {
      executablePath: kChromium,
      headless: true,
      timeout: kLaunchTimeout,
      viewport: { width: 1280, height: 720 },
      args: ['--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
        '--disable-background-networking', '--disable-component-update', '--disable-sync'],
    });
    const page = browser.pages()[0] || await browser.newPage();
    page.setDefaultTimeout(kTimeout);
    const errors = [];
    page.on('pageerror', (error) => errors.push(String(error)));
    // A refused handshake or connection is the browser's note, not the page's fault: the
    // page asks for GMCP and, from a server without it, connects again without.
    page.on('console', (message) => {
      if (message.type() === 'error' && !message.text().startsWith('WebSocket connection to')) {
        errors.push(message.text());
      }
    });
    const sockets = [];
    page.on('websocket', (ws) => sockets.push(ws.url()));
    await page.goto(`http://127.0.0.1:${webPort}/`);
    const output = page.locator('#output');
    if (!(await page.locator('#command').evaluate((e) => e === document.activeElement))) {
      throw new Error('the command line does not have the focus');
    }

    // A first visit: the forms are in view; on a phone the command box takes its row.
    const newCatTop = (await page.locator('#new-cat').boundingBox()).y;
    if (newCatTop > 600) throw new Error(`the New cat form starts at y=${newCatTop} of 720`);
    await page.setViewportSize({ width: 390, height: 844 });
    const [box, row] = await page.locator('#command').evaluate((e) => [e.offsetWidth, e.parentElement.clientWidth]);
    if (box < 0.6 * row) throw new Error(`on a phone the command box is ${box} px of ${row}`);
    await page.setViewportSize({ width: 1280, height: 720 });

    // A cat made with the form; a lone " would end the description early, and is refused.
    // The page connects only then: the server's time to log in runs from the connection.
    await page.getByLabel("New cat's name").fill('Willowpaw');
    await page.getByLabel("New cat's password").fill('silverbark');
    await page.getByLabel('Pronouns').fill('she/her');
    await page.getByLabel('Age in moons').fill('9');
    await page.getByLabel('Role').selectOption('warrior');
    await page.getByLabel('Clan').selectOption('moss');
    const description = page.getByLabel('Description');
    await description.fill('grey " striped tail');
    await page.getByRole('button', { name: 'Create the cat' }).click();
    await page.locator('#setup-description-error').waitFor();
    if (await output.locator('.sent').count() !== 0) throw new Error('a description with a lone " was sent');
    await description.fill('lean tabby   with "green" eyes');
    if (sockets.length || Log().includes('came in by web')) throw new Error('the page connected before anything was sent');
    await page.getByRole('button', { name: 'Create the cat' }).click();
    await output.getByText('Welcome to Pelthollow! Type "help" for a list of commands.').waitFor();
    await output.getByText('Character created. Entering game...').waitFor();
    await WaitFor('the setup line in the log', Log,
                  (l) => l.includes(': setup Willowpaw *** she/her 9 warrior moss " lean tabby with "green" eyes " - -'));

    // Health in the order of the body, as `status` tells it.
    await page.locator('#cat-vitals dt').first().waitFor();
    const vitals = (await page.locator('#cat-vitals dt').allTextContents()).join(', ');
    if (vitals !== 'Overall, Head, Body, Tail, Left front leg, Right front leg, Left back leg, Right back leg') {
      throw new Error(`vitals in the order ${vitals}`);
    }

    // A terminal player in the same den: each hears the other.
    tcp = TcpPlayer(gamePort);
    await tcp.WaitFor('Welcome to Pelthollow!');
    tcp.Send('setup Bramble oakroot he/him 30 warrior moss " broad brown tom " - -');
    await tcp.WaitFor('Character created. Entering game...');
    tcp.Send('say Good morning, Willowpaw.');
    await output.getByText('Bramble says: Good morning, Willowpaw.').waitFor();
    await page.locator('#command').fill('say Morning, Bramble!');
    await page.keyboard.press('Enter');
    await tcp.WaitFor('Willowpaw: Morning, Bramble!');

    // History: Up recalls the sent line, Down brings back the half-typed one.
    await page.locator('#command').fill('loo');
    await page.keyboard.press('ArrowUp');
    const recalled = await page.locator('#command').inputValue();
    if (recalled !== 'say Morning, Bramble!') throw new Error(`Up recalled "${recalled}"`);
    await page.keyboard.press('ArrowDown');
    const draft = await page.locator('#command').inputValue();
    if (draft !== 'loo') throw new Error(`Down gave "${draft}" instead of the half-typed line`);

    // Markup from another player arrives as text.
    tcp.Send('whisper Willowpaw <b>not bold</b>');
    await output.getByText('<b>not bold</b>', { exact: false }).waitFor();
    if (await output.locator('b').count() !== 0) throw new Error('game text became markup');

    // GMCP marks the whisper as one, in words.
    const whisper = output.locator('.speech-whisper', { hasText: 'not bold' });
    await whisper.waitFor();
    if (await whisper.textContent() !== 'Bramble whispers: <b>not bold</b>') {
      throw new Error(`the whisper reads "${await whisper.textContent()}"`);
    }

    // Screen reader mode: the box sends the line that turns it on or off on the server.
    const readerLines = () => Log().split('\n').filter((line) => line.endsWith(': screenreader')).length;
    await page.getByLabel('Screen reader mode').check();
    await WaitFor('the screenreader line', Log, () => readerLines() === 1);

    // One step north by the exit button: the world tick (every 5 s) moves the mark.
    const here = page.locator('#you-are-here');
    await page.waitForFunction(() => document.getElementById('you-are-here').dataset.cell);
    const before = await here.getAttribute('data-cell');
    await page.getByRole('button', { name: 'North' }).click();
    await page.waitForFunction((cell) => document.getElementById('you-are-here').dataset.cell !== cell,
                               before, { timeout: 12000 });
    const [x, y] = before.split(',').map(Number);
    if (await here.getAttribute('data-cell') !== `${x},${y - 1}`) {
      throw new Error(`one step north from ${before} led to ${await here.getAttribute('data-cell')}`);
    }
    // The drawing in words: Bramble stayed in the den.
    await page.waitForFunction((text) => document.getElementById('map-drawing').getAttribute('aria-label').includes(text),
                               `You are at ${x}, ${y - 1}. No other cat on your cell.`);

    await CheckAxe(page, 'in play');
    await page.locator('#command').fill('');
    await page.locator('aside').evaluate((e) => { e.scrollTop = 0; });
    if (screenshot) await page.screenshot({ path: screenshot });

    // Speech padded with blanks to wrap onto a line of its own is indented under its start.
    tcp.Send(`yowl Listen.${' '.repeat(200)}[Announcement] The server is going down now.`);
    const padded = output.locator('.speech-yowl', { hasText: '[Announcement]' });
    await padded.waitFor();
    const [lineStart, wrapStart] = await padded.evaluate((line) => {
      const text = line.firstChild;
      const At = (i) => {
        const range = document.createRange();
        range.setStart(text, i);
        range.setEnd(text, i + 1);
        return range.getBoundingClientRect().left;
      };
      return [At(0), At(text.data.indexOf('['))];
    });
    if (wrapStart <= lineStart) throw new Error('a wrapped line of speech starts as far left as a line');

    // Kicked: nothing says the page still plays. Two quick clicks on Reconnect make one
    // connection.
    await Admin(binary, folder, 'kick', 'Willowpaw');
    await output.getByText('Connection closed by server.').waitFor();
    const shown = await page.evaluate(() => [document.querySelector('header').innerText,
      document.getElementById('you-are-here').dataset.cell, document.getElementById('cat-vitals').innerText]);
    if (/Connected|Playing as/.test(shown[0]) || shown[1] || shown[2]) {
      throw new Error(`after a kick the page shows ${JSON.stringify(shown)}`);
    }
    await page.getByRole('button', { name: 'Reconnect' }).evaluate((b) => { b.click(); b.click(); });
    await page.locator('#status', { hasText: 'Log in or make a new cat' }).waitFor();
    // A WebSocket not in play shows "-" for its character; the page's HTTP connection
    // "(not playing)".
    const open = (await Admin(binary, folder, 'who')).split('\n')
      .filter((line) => / web +- /.test(line));
    if (open.length !== 1) throw new Error(`after two clicks on Reconnect: ${open.join(' | ')}`);
    // The new connection is in screen reader mode too.
    await WaitFor('the screenreader line again', Log, () => readerLines() === 2);

    // The box is kept by the browser.
    await page.reload();
    if (!(await page.getByLabel('Screen reader mode').isChecked())) throw new Error('the screen reader box was not kept');

    // A refused name keeps the password typed for it.
    await page.getByLabel("New cat's name").fill('Bramble');
    await page.getByLabel("New cat's password").fill('hazelnut');
    await page.getByLabel('Pronouns').fill('he/him');
    await page.getByLabel('Age in moons').fill('30');
    await page.getByLabel('Description').fill('broad brown tom');
    await page.getByRole('button', { name: 'Create the cat' }).click();
    await page.locator('#setup-name-error', { hasText: 'Name already taken.' }).waitFor();
    if (readerLines() !== 3) throw new Error('the page connected without the screenreader line');
    if (await page.locator('#setup-password').inputValue() !== 'hazelnut') {
      throw new Error('a refused setup emptied the password');
    }
    await CheckAxe(page, 'on the forms');

    // The game ends the connection: the page says so and offers to reconnect.
    server.kill('SIGTERM');
    await output.getByText('Connection closed by server.').waitFor();
    await page.getByRole('button', { name: 'Reconnect' }).waitFor();
    if (errors.length) throw new Error(`errors in the page: ${errors.join('; ')}`);
    console.log('PASS: the web client in chromium');
    return 0;
  } catch (error) {
    console.log(Log());
    throw error;
  } finally {
    if (tcp) tcp.Close();
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
