// The web client as Orca reads it: Chromium, shown on the desktop that orca_session.sh
// made, plays against the real server while a second cat talks and walks over TCP;
// keys are typed through X (xdotool), as a person's are, so that Orca hears them too.
// What Orca said must be every message once, whole, in order, speech with its kind
// in words.
// Usage: orca_session.sh node orca_page_test.js PELTHOLLOW_BINARY
// Exits 0 when it passed, 1 on a failure, 77 when chromium or playwright-core is
// missing (1 instead when PELTHOLLOW_REQUIRE_SCREENREADER=1).
'use strict';

const fs = require('fs');
const net = require('net');
const os = require('os');
const path = require('path');
const { StartServer } = require('../browser/test_server');
const { execFile } = require('child_process');

const kChromium = process.env.PELTHOLLOW_CHROMIUM || '/usr/bin/chromium';
const kTimeout = 15000;
const kLaunchTimeout = 60000;
const kKeyInterval = 250;      // ms between two typed keys
const kSkip = process.env.PELTHOLLOW_REQUIRE_SCREENREADER === '1' ? 1 : 77;

function Missing(what) {
  console.log(`${kSkip === 1 ? 'FAIL' : 'SKIP'}: ${what}`);
  process.exit(kSkip);
}

let chromium;
try {
  // The browser test's packages (npm ci in tests/browser).
  ({ chromium } = require(require.resolve('playwright-core', { paths: [path.join(__dirname, '..', 'browser')] })));
} catch (error) {
  Missing('playwright-core is not installed (npm ci in tests/browser)');
}
if (!fs.existsSync(kChromium)) Missing(`no browser at ${kChromium} (apt-get install chromium)`);
if (!process.env.ORCA_SPOKEN) Missing('run me through orca_session.sh');

const Sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));

async function WaitFor(what, test, timeout = kTimeout) {
  const deadline = Date.now() + timeout;
  for (;;) {
    const result = test();
    if (result) return result;
    if (Date.now() > deadline) throw new Error(`timed out waiting for ${what}`);
    await Sleep(50);
  }
}

// What Orca said, an utterance an entry, white space as one blank.
function Spoken() {
  return fs.readFileSync(process.env.ORCA_SPOKEN, 'utf8').split('\x1e\n')
      .map((u) => u.replace(/\s+/g, ' ').trim()).filter((u) => u !== '');
}

// A second cat, on the game port: NUL-terminated frames over TCP.
function TcpPlayer(port) {
  const socket = net.connect(port, '127.0.0.1');
  const player = { frames: '' };
  socket.setEncoding('utf8');
  socket.on('data', (text) => { player.frames += text; });
  player.Send = (line) => socket.write(line + '\0');
  player.WaitFor = (text) => WaitFor(`"${text}" on TCP`, () => player.frames.includes(text));
  player.Close = () => socket.destroy();
  return player;
}

function Run(program, args, options = {}) {
  return new Promise((resolve, reject) => {
    execFile(program, args, { timeout: kTimeout, ...options }, (error, stdout) => {
      if (error) reject(error); else resolve(stdout);
    });
  });
}

// Keys through X, to the window under the pointer.
const Type = async (text) => {
  for (const c of text) {
    await Run('xdotool', ['type', '--delay', '0', c]);
    await Sleep(kKeyInterval);
  }
};
const Key = (key) => Run('xdotool', ['key', key]);

async function Main() {
  const binary = path.resolve(process.argv[2]);
  const folder = fs.mkdtempSync(path.join(os.tmpdir(), 'pelthollow-orca-server-'));
  const { server, ports: [gamePort, webPort], Log } = await StartServer(binary, folder, 2, ([game, web]) => ({
    PELTHOLLOW_PORT: String(game), PELTHOLLOW_WEB_PORT: String(web), PELTHOLLOW_CHEAP_PASSWORD_HASHES: '1' }),
  'Web client on port');
  const userData = fs.mkdtempSync(path.join(os.tmpdir(), 'pelthollow-orca-chromium-'));
  let browser = null;
  let birchpaw = null;
  const expected = [];   // what Orca must have said of the game, in order
  let from = 0;          // the utterances before this one are checked
  // Waits until Orca has said `text`, after what it said before, and expects it.
  const Heard = async (text) => {
    const at = await WaitFor(`Orca to say "${text}"`, () => {
      const i = Spoken().indexOf(text, from);
      return i >= 0 ? i + 1 : 0;
    });
    from = at;
    expected.push(text);
  };
  try {
    // Willowpaw exists, out of play; Birchpaw stands in the den she will log into.
    const maker = TcpPlayer(gamePort);
    maker.Send('setup Willowpaw silverbark she/her 9 warrior moss " lean tabby " - -');
    await maker.WaitFor('Character created.');
    maker.Send('quit');
    await maker.WaitFor('Goodbye.');
    maker.Close();
    birchpaw = TcpPlayer(gamePort);
    birchpaw.Send('setup Birchpaw oakroot he/him 30 warrior moss " broad brown tom " - -');
    await birchpaw.WaitFor('Character created.');

    browser = await chromium.launchPersistentContext(userData, {
      executablePath: kChromium,
      headless: false,
      timeout: kLaunchTimeout,
      viewport: null,
      args: ['--force-renderer-accessibility', '--no-sandbox', '--disable-gpu', '--disable-quic',
        '--no-first-run', '--disable-background-networking', '--disable-component-update',
        '--disable-sync', '--window-position=0,0', '--window-size=1280,1000'],
    });
    const page = browser.pages()[0] || await browser.newPage();
    page.setDefaultTimeout(kTimeout);
    const errors = [];
    page.on('pageerror', (error) => errors.push(String(error)));
    await page.goto(`http://127.0.0.1:${webPort}/`);
    await WaitFor('Orca to read the page', () => Spoken().some((u) => u.includes('Finished loading Pelthollow')));
    // Keys go to the window under the pointer: there is no window manager.
    await Run('xdotool', ['mousemove', '640', '500']);
    const LastRow = () => page.locator('#output > .game').last().evaluate((row) => row.innerText);

    // Log in through the form, Enter typed in the password field. What Orca says of the
    // game is checked from the server's first words on.
    await page.getByLabel('Log-in name').fill('Willowpaw');
    await page.getByLabel('Log-in password').click();
    await Type('silverbark');
    await Key('Return');
    await Heard('Welcome to Pelthollow! Type "help" for a list of commands.');
    const start = from - 1;
    await page.locator('#output').getByText('Login successful. Entering game...').waitFor();
    await Heard((await LastRow()).replace(/\s+/g, ' '));

    // Speech of each kind. The whisper, read at once, comes right after the line before
    // it, which is read all the same.
    birchpaw.Send('say The moon is high tonight.');
    birchpaw.Send('whisper Willowpaw Meet me at Oldmeadow.');
    await Heard('Birchpaw says: The moon is high tonight.');
    await Heard('Birchpaw whispers: Meet me at Oldmeadow.');
    birchpaw.Send('yowl Can you hear me?');
    await Heard('Birchpaw yowls: Can you hear me?');
    await Run(binary, ['admin', 'announce', 'The river is rising.'], { cwd: folder });
    await Heard('[Announcement] The river is rising.');

    // look, typed.
    await Type('look');
    await Key('Return');
    await page.locator('#output > .game', { hasText: 'of you is' }).nth(1).waitFor();
    await Heard((await LastRow()).replace(/\s+/g, ' '));

    // Three lines arrive while she types a line of her own.
    const typing = Type('say I was typing all along');
    for (const word of ['one', 'two', 'three']) {
      await Sleep(1500);
      birchpaw.Send(`say Line ${word}.`);
    }
    await typing;
    await Key('Return');
    for (const word of ['one', 'two', 'three']) await Heard(`Birchpaw says: Line ${word}.`);
    await Heard('Willowpaw says: I was typing all along');

    // Birchpaw walks out and back in; then she takes a step, by its shortcut.
    birchpaw.Send('north');
    birchpaw.Send('south');
    await Heard('Birchpaw has left the area.');
    await Heard('Birchpaw has entered the area.');
    await Key('alt+shift+Right');
    await Heard('Movement queued.');
    await Heard('Willowpaw has entered the area.');
    // The last message again, which is the same words; then where she is.
    await Key('alt+shift+r');
    await Heard('Willowpaw has entered the area.');
    await Key('alt+shift+w');
    await Heard(await page.evaluate(() => WhereText()));

    // Orca said each message once, whole, in order: of all it said, what names a cat
    // or holds a line of the game is exactly what was expected.
    const lines = expected.flatMap((text) => text.split(/(?<=[.!?]) /)).filter((l) => l.length >= 12);
    const game = Spoken().slice(start).filter((u) => /Birchpaw|Willowpaw|Announcement/.test(u) ||
                                                   lines.some((line) => u.includes(line)));
    if (JSON.stringify(game) !== JSON.stringify(expected)) {
      throw new Error(`Orca said:\n  ${game.join('\n  ')}\nbut should have said:\n  ${expected.join('\n  ')}`);
    }
    if (errors.length) throw new Error(`errors in the page: ${errors.join('; ')}`);
    console.log(`PASS: Orca read the page:\n  ${game.join('\n  ')}`);
    return 0;
  } catch (error) {
    console.log(Log());
    throw error;
  } finally {
    if (birchpaw) birchpaw.Close();
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
