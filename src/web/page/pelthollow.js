// The Pelthollow web client: one WebSocket to the game, the game's text in a log,
// a command line with history, forms that build the setup and login lines, and, when
// the server speaks GMCP, a map, the exits, the cat's status and marked speech.
'use strict';

const kKeptLines = 2000;     // lines of output kept on the page
const kHistoryLines = 100;   // sent lines that Up and Down recall
const kGmcp = 'gmcp.mudstandards.org';
const kSize = 30;            // the territory is kSize by kSize cells
const kFirstPause = 1000;    // before the first try to reconnect; doubled each time
const kLongestPause = 30000;
const kSpeechKinds = ['say', 'yowl', 'whisper'];

const Field = (id) => document.getElementById(id);
const output = Field('output');
const status = Field('status');
const closedPanel = Field('closed');
const commandForm = Field('command-form');
const command = Field('command');

let socket = null;          // the page's one WebSocket, from Connect until it is lost
let asked = false;          // whether it asked for GMCP
let opened = false;         // whether it opened
let gmcp = false;           // the server took the GMCP subprotocol
let askGmcp = true;         // whether the next connection asks for it
let pause = kFirstPause;
let retry = null;           // the timer of the next try to connect
let playerName = '';        // the cat in play on this connection, or ''
let lastName = '';          // the last cat in play, offered at the next login
let triedName = '';         // the name of the last setup or login line sent
let clan = '';              // from Char.Status
const encoder = new TextEncoder();
const decoder = new TextDecoder();

// --- The log ---------------------------------------------------------------------

// The log follows new text unless the reader has scrolled up.
let following = true;
const AtEnd = () => output.scrollTop + output.clientHeight >= output.scrollHeight - 4;
const FollowEnd = () => { if (following) output.scrollTop = output.scrollHeight; };
output.addEventListener('scroll', () => { following = AtEnd(); });
new ResizeObserver(FollowEnd).observe(output);

// Control characters as the terminal client shows them: ^[ for ESC, ^? for DEL.
function Caret(text) {
  return text.replace(/[\x00-\x08\x0b-\x1f\x7f]/g,
      (c) => c === '\x7f' ? '^?' : '^' + String.fromCharCode(c.charCodeAt(0) + 64));
}

// Speech is marked by Comm.Channel.Text, which may come before or after its text. A
// frame joins its messages with line feeds, so the game's text is shown a row per line;
// the lines of one speech are then joined into one labelled row, so that no part of a
// player's words can stand as a row of its own.
const recentBlocks = [];    // {rows, lines} of the last messages of game text
const pendingSpeech = [];   // speech messages whose text has not come yet

function AddRow(kind, text) {
  const row = document.createElement('div');
  row.className = kind;
  row.textContent = Caret(text);
  output.appendChild(row);
  return row;
}

function TrimLog() {
  while (output.childElementCount > kKeptLines) output.firstElementChild.remove();
  FollowEnd();
}

// Adds a note or a line the player sent as one row, as text, never as markup. Sent
// lines are hidden from screen readers: they were just typed.
function Show(text, kind) {
  const row = AddRow(kind, text);
  if (kind === 'sent') row.setAttribute('aria-hidden', 'true');
  TrimLog();
}

function ShowGame(text) {
  const lines = text.replace(/\r?\n$/, '').split('\n');
  const block = { rows: lines.map((line) => AddRow('game', line)), lines: lines.map((l) => l.trimEnd()) };
  recentBlocks.push(block);
  if (recentBlocks.length > 20) recentBlocks.shift();
  for (let i = 0; i < pendingSpeech.length;) {
    if (MarkSpeech(block, pendingSpeech[i])) pendingSpeech.splice(i, 1); else i++;
  }
  TrimLog();
  for (const line of lines) WatchText(line);
}

// Where the lines `wanted` run one after another in `lines`, or -1.
function FindRun(lines, wanted) {
  for (let at = 0; at + wanted.length <= lines.length; at++) {
    if (wanted.every((line, i) => lines[at + i] === line)) return at;
  }
  return -1;
}

// Joins the rows of `block` that hold `talk` into one row under its label. Returns
// false, changing nothing, when the block does not hold it.
function MarkSpeech(block, talk) {
  const wanted = `${talk.talker}: ${talk.text}`.split('\n').map((l) => l.trimEnd());
  const at = FindRun(block.lines, wanted);
  if (at < 0) return false;
  const rows = block.rows.slice(at, at + wanted.length);
  const label = document.createElement('span');
  label.className = 'speech-kind';
  label.textContent = talk.channel;
  const words = document.createElement('span');
  words.textContent = rows.map((r) => r.textContent).join('\n');
  rows[0].classList.add('speech', 'speech-' + talk.channel);
  rows[0].replaceChildren(label, words);
  for (const row of rows.slice(1)) row.remove();
  block.lines.fill(null, at, at + wanted.length);
  return true;
}

function OnSpeech(talk) {
  if (!kSpeechKinds.includes(talk.channel)) return;
  if (typeof talk.talker !== 'string' || typeof talk.text !== 'string') return;
  if (recentBlocks.some((block) => MarkSpeech(block, talk))) return;
  pendingSpeech.push(talk);
  if (pendingSpeech.length > 20) pendingSpeech.shift();
}

// --- Sending ---------------------------------------------------------------------

// Echoes a sent line with the password of setup and login hidden, and notes the name
// such a line tries.
function Echo(line) {
  const words = line.split(' ');
  if (words[0] === 'setup' || words[0] === 'login') {
    triedName = words[1] || '';
    if (words.length > 2) words[2] = '***';
  }
  Show(words.join(' '), 'sent');
}

function Send(line) {
  if (!socket || socket.readyState !== WebSocket.OPEN) {
    Show('Not connected.', 'note');
    return false;
  }
  Echo(line);
  // With GMCP the game's lines travel in binary messages, GMCP in text ones.
  socket.send(gmcp ? encoder.encode(line) : line);
  return true;
}

function SendGmcp(name, data) {
  if (socket && gmcp && socket.readyState === WebSocket.OPEN) {
    socket.send(`${name} ${JSON.stringify(data)}`);
  }
}

// --- The connection --------------------------------------------------------------

function SetStatus(text) {
  if (status.textContent !== text) status.textContent = text;
  Field('closed-text').textContent = text;
}

// Opens the page's one socket, unless one is connecting, open or closing: a click on
// Reconnect that meets the timer's try, or a second click, makes no second one.
function Connect() {
  if (socket) return;
  clearTimeout(retry);
  retry = null;
  const scheme = location.protocol === 'https:' ? 'wss://' : 'ws://';
  // A server without GMCP fails a handshake that asks for it: then the next try asks
  // for no subprotocol, at once, and the one after asks again.
  asked = askGmcp;
  opened = false;
  const ws = new WebSocket(scheme + location.host + '/ws', asked ? [kGmcp] : []);
  ws.binaryType = 'arraybuffer';
  socket = ws;
  SetStatus('Connecting…');
  ws.addEventListener('open', () => {
    if (socket !== ws) return;
    opened = true;
    gmcp = ws.protocol === kGmcp;
    pause = kFirstPause;
    closedPanel.hidden = true;
    SetStatus('Log in or make a new cat');
    SendGmcp('Core.Supports.Set', ['Char 1', 'Room 1', 'Comm 1']);
  });
  ws.addEventListener('message', (event) => {
    if (socket !== ws) return;
    if (typeof event.data !== 'string') {
      ShowGame(decoder.decode(event.data));
    } else if (gmcp) {
      OnGmcp(event.data);
    } else {
      ShowGame(event.data);
    }
  });
  ws.addEventListener('close', (event) => {
    if (socket === ws) Lost(event.reason);
  });
}

// The end of the socket, whatever ended it: the page stops playing at once and tries
// again after a pause. Nothing of the old socket is heard afterwards.
function Lost(reason, why = 'Connection closed by server.') {
  socket = null;
  SetPlaying('');
  askGmcp = !asked || opened;
  if (asked && !opened) {
    Connect();
    return;
  }
  if (opened) {
    Show(why, 'note');
    if (reason) Show(reason, 'note');
    OfferLogin();
  }
  const seconds = Math.round(pause / 1000);
  SetStatus(`Not connected. Trying again in ${seconds} second${seconds === 1 ? '' : 's'}.`);
  closedPanel.hidden = false;
  retry = setTimeout(Connect, pause);
  pause = Math.min(pause * 2, kLongestPause);
}

// With the network gone, a closing handshake can take a minute: the page does not wait.
window.addEventListener('offline', () => {
  const ws = socket;
  if (!ws) return;
  Lost('', 'Connection lost: the network is down.');
  ws.close();
});

// After a disconnect: the Log in form, open, with the last cat's name filled in.
function OfferLogin() {
  if (!lastName) return;
  Field('login-name').value = lastName;
  Field('log-in').open = true;
}

Field('reconnect').addEventListener('click', () => {
  pause = kFirstPause;
  Connect();
  command.focus();
});

// --- Playing or not --------------------------------------------------------------

// The cat in play on this connection, or '' for none: until a setup or login
// succeeds on it, nothing on the page may look as if it played.
function SetPlaying(name) {
  const was = playerName;
  playerName = name;
  Field('playing').textContent = name ? `Playing as ${name}` : 'Not playing';
  if (name && was) return;  // Char.Name after the line that entered play
  Field('log-in').hidden = Field('new-cat').hidden = Boolean(name);
  for (const button of document.querySelectorAll('#exits button')) button.disabled = !name;
  if (name) {
    lastName = name;
    if (socket && socket.readyState === WebSocket.OPEN) SetStatus('Connected');
    Field('setup-password').value = '';
    Field('login-password').value = '';
  } else {
    clan = '';
    DrawCamp();
    const you = Field('you-are-here');
    you.setAttribute('visibility', 'hidden');
    delete you.dataset.cell;
    Field('queue').textContent = 'No steps queued';
    FillList(Field('cat-vitals'), []);
  }
  // Without GMCP these stay as they are set here.
  Field('map-text').textContent = name ? 'Type look to see where you are.' : 'Not playing.';
  ShowCatsHere([], name ? 'Type look to see' : 'Not playing');
  FillList(Field('cat-status'), [['Status', name ? 'Type status to see your health.' : 'Not playing.']]);
}

// What the game's text tells, with GMCP or without.
function WatchText(line) {
  if (line === 'Character created. Entering game...' || line === 'Login successful. Entering game...') {
    if (!playerName) SetPlaying(triedName);
    ClearError(Field('setup-name'));
  } else if (line.startsWith('Name already taken.') || line.startsWith('That name is too close')) {
    Field('new-cat').open = true;
    SetError(Field('setup-name'), line);
  } else if (line === 'Invalid username.') {
    SetError(Field('login-name'), 'No cat of that name');
  } else if (line === 'Incorrect password.') {
    SetError(Field('login-password'), 'Wrong password');
  }
}

// --- GMCP ------------------------------------------------------------------------

function OnGmcp(message) {
  const space = message.indexOf(' ');
  const name = space < 0 ? message : message.slice(0, space);
  let data = null;
  if (space >= 0) {
    try { data = JSON.parse(message.slice(space + 1)); } catch (error) { return; }
  }
  const handler = kGmcpHandlers[name];
  if (handler && data !== null && typeof data === 'object') handler(data);
}

const kGmcpHandlers = {
  'Char.Name': (d) => { if (typeof d.name === 'string') SetPlaying(d.name); },
  'Char.Status': ShowStatus,
  'Char.Vitals': ShowVitals,
  'Char.Queue': (d) => {
    const n = Number(d.steps) || 0;
    Field('queue').textContent = n === 0 ? 'No steps queued' : `${n} step${n === 1 ? '' : 's'} queued`;
  },
  'Room.Info': ShowRoom,
  'Room.Players': ShowCatsHere,
  'Comm.Channel.Text': OnSpeech,
};

// "bodyHeat" as "Body heat".
function Label(key) {
  const words = key.replace(/([a-z])([A-Z])/g, '$1 $2').replace(/[_-]/g, ' ').toLowerCase();
  return words.charAt(0).toUpperCase() + words.slice(1);
}

function FillList(list, pairs) {
  list.replaceChildren();
  for (const [term, value] of pairs) {
    const dt = document.createElement('dt');
    dt.textContent = term;
    const dd = document.createElement('dd');
    if (value instanceof Node) dd.append(value); else dd.textContent = value;
    list.append(dt, dd);
  }
}

function ShowStatus(d) {
  if (typeof d.clan === 'string') {
    clan = d.clan;
    DrawCamp();
  }
  const pairs = [];
  for (const key of ['clan', 'role', 'title', 'age', 'pronouns']) {
    if (d[key] === undefined || d[key] === '') continue;
    pairs.push([key === 'age' ? 'Age in moons' : Label(key), String(d[key])]);
  }
  FillList(Field('cat-status'), pairs);
}

// The parts in the order of the status command, Overall first; any other part after.
const kBodyOrder = ['overall', 'head', 'body', 'tail', 'leftFrontLeg', 'rightFrontLeg',
  'leftBackLeg', 'rightBackLeg'];
const BodyRank = (key) => (kBodyOrder.includes(key) ? kBodyOrder.indexOf(key) : kBodyOrder.length);

// Every numeric pair "x" and "xMax", labelled from the key.
function ShowVitals(d) {
  const pairs = [];
  const keys = Object.keys(d).sort((a, b) => BodyRank(a) - BodyRank(b));
  for (const key of keys) {
    const value = d[key];
    const most = d[key + 'Max'];
    if (typeof value !== 'number' || typeof most !== 'number') continue;
    const shown = document.createElement('span');
    shown.className = 'vital';
    const bar = document.createElement('span');
    bar.className = 'bar';
    bar.setAttribute('aria-hidden', 'true');
    const fill = document.createElement('span');
    fill.style.width = `${most > 0 ? Math.max(0, Math.min(100, (100 * value) / most)) : 0}%`;
    bar.append(fill);
    shown.append(`${value} of ${most}`, bar);
    pairs.push([Label(key), shown]);
  }
  FillList(Field('cat-vitals'), pairs);
}

function ShowCatsHere(list, none = 'No one') {
  const ul = Field('cats-here');
  ul.replaceChildren();
  const cats = Array.isArray(list) ? list : [];
  for (const cat of cats) {
    const li = document.createElement('li');
    li.textContent = cat.clan ? `${cat.name} (${cat.clan})` : String(cat.name);
    ul.append(li);
  }
  if (cats.length === 0) {
    const li = document.createElement('li');
    li.textContent = none;
    ul.append(li);
  }
}

const kDirections = { n: 'north', s: 'south', e: 'east', w: 'west' };

function ShowRoom(d) {
  const x = Number(d.coords && d.coords.x);
  const y = Number(d.coords && d.coords.y);
  const exits = d.exits && typeof d.exits === 'object' ? d.exits : {};
  const open = Object.keys(exits).map((k) => kDirections[k] || k);
  for (const button of document.querySelectorAll('#exits button')) {
    button.disabled = !open.includes(button.dataset.go);
  }
  const where = [d.name, Number.isFinite(x) ? `(${x}, ${y})` : '', d.area ? `in ${d.area}` : '']
      .filter((part) => part).join(', ');
  Field('map-text').textContent =
      `You are at ${where}. Exits: ${open.length ? open.join(', ') : 'none'}.`;
  if (Number.isFinite(x) && Number.isFinite(y)) {
    const you = Field('you-are-here');
    you.setAttribute('cx', x + 0.5);
    you.setAttribute('cy', y + 0.5);
    you.dataset.cell = `${x},${y}`;
    you.removeAttribute('visibility');
  }
}

// --- The drawn map ---------------------------------------------------------------

const kSvg = 'http://www.w3.org/2000/svg';
const kCamps = [
  { key: 'lark', name: 'Lark', x: 7, y: 7 },
  { key: 'fern', name: 'Fern', x: 23, y: 7 },
  { key: 'moss', name: 'Moss', x: 7, y: 23 },
  { key: 'ember', name: 'Ember', x: 23, y: 23 },
];

function Shape(kind, attributes, text) {
  const element = document.createElementNS(kSvg, kind);
  for (const [name, value] of Object.entries(attributes)) element.setAttribute(name, value);
  if (text) element.textContent = text;
  Field('map-drawing').append(element);
  return element;
}

function DrawMap() {
  // The quarters meet at column 14, no clan's; row 14 is southern land.
  Shape('rect', { x: 0, y: 0, width: 14, height: 14, class: 'land-lark' });
  Shape('rect', { x: 15, y: 0, width: 15, height: 14, class: 'land-fern' });
  Shape('rect', { x: 0, y: 14, width: 14, height: 16, class: 'land-moss' });
  Shape('rect', { x: 15, y: 14, width: 15, height: 16, class: 'land-ember' });
  Shape('rect', { x: 14, y: 0, width: 1, height: 30, class: 'border' });
  for (const camp of kCamps) {
    const den = camp.y < 14 ? camp.y + 1 : camp.y - 1;  // the leader's den faces the middle
    const top = camp.y < 14 ? camp.y - 1 : camp.y;
    Shape('rect', { x: camp.x - 1, y: top, width: 3, height: 2, class: 'camp', id: 'camp-' + camp.key });
    Shape('rect', { x: camp.x, y: den, width: 1, height: 1, class: 'camp' });
    Shape('text', { x: camp.x + 0.5, y: camp.y < 14 ? camp.y - 2 : camp.y + 4, class: 'map-label' }, camp.name);
  }
  Shape('path', { d: 'M14.5 13.6 L15.4 14.5 L14.5 15.4 L13.6 14.5 Z', class: 'meadow' });
  Shape('circle', { id: 'you-are-here', cx: 0.5, cy: 0.5, r: 0.9, visibility: 'hidden' });
}

function DrawCamp() {
  const key = clan.toLowerCase();
  for (const camp of kCamps) {
    Field('camp-' + camp.key).classList.toggle('yours', key.startsWith(camp.key));
  }
}

// --- The command line ------------------------------------------------------------

// Up and Down walk the sent lines; the line being typed is kept below the newest.
const history = [];
let historyAt = 0;    // history.length while editing a new line
let draft = '';

function Recall(earlier) {
  if (historyAt === history.length) draft = command.value;
  if (earlier && historyAt > 0) historyAt--;
  if (!earlier && historyAt < history.length) historyAt++;
  command.value = historyAt === history.length ? draft : history[historyAt];
  command.setSelectionRange(command.value.length, command.value.length);
}

commandForm.addEventListener('submit', (event) => {
  event.preventDefault();
  command.focus();
  const line = command.value;
  if (line === '') return;
  if (!Send(line)) return;
  if (history[history.length - 1] !== line) history.push(line);
  if (history.length > kHistoryLines) history.shift();
  historyAt = history.length;
  draft = '';
  command.value = '';
});

command.addEventListener('keydown', (event) => {
  if (event.key !== 'ArrowUp' && event.key !== 'ArrowDown') return;
  if (event.altKey || event.ctrlKey || event.metaKey || event.shiftKey) return;
  event.preventDefault();
  Recall(event.key === 'ArrowUp');
});
Field('history-back').addEventListener('click', () => { Recall(true); command.focus(); });
Field('history-forward').addEventListener('click', () => { Recall(false); command.focus(); });

for (const button of document.querySelectorAll('#exits button')) {
  button.addEventListener('click', () => Send(button.dataset.go));
}

// A command of the list, chosen, goes on the command line: "look Name" as "look ".
for (const code of document.querySelectorAll('#commands code')) {
  const button = document.createElement('button');
  button.type = 'button';
  button.className = 'command-choice';
  button.textContent = code.textContent;
  const words = code.textContent.split(' ');
  const lower = words.findIndex((w, i) => i > 0 && /^[A-Z]|^words$/.test(w));
  const typed = lower < 0 ? code.textContent : words.slice(0, lower).join(' ') + ' ';
  button.addEventListener('click', () => {
    command.value = typed;
    command.focus();
    command.setSelectionRange(typed.length, typed.length);
  });
  code.replaceWith(button);
}

// --- The forms -------------------------------------------------------------------

const kRules = {
  word: (v) => (v === '' ? 'Required: one word' : /\s/.test(v) ? 'One word, no spaces' : ''),
  number: (v) => (/^[0-9]+$/.test(v) ? '' : 'A number'),
  // The game ends the description at the first word that is a lone ".
  words: (v) => (v === '' ? 'Required: a few words'
    : Words(v).includes('"') ? 'A " on its own would end the description: join it to a word' : ''),
};

function ErrorOf(input) {
  let error = Field(input.id + '-error');
  if (!error) {
    error = document.createElement('p');
    error.id = input.id + '-error';
    error.className = 'error';
    input.after(error);
  }
  return error;
}

function SetError(input, text) {
  ErrorOf(input).textContent = text;
  input.setAttribute('aria-invalid', 'true');
  const described = (input.getAttribute('aria-describedby') || '').split(' ').filter((w) => w);
  if (!described.includes(input.id + '-error')) {
    input.setAttribute('aria-describedby', [input.id + '-error', ...described].join(' '));
  }
}

function ClearError(input) {
  if (input.getAttribute('aria-invalid') !== 'true') return;
  input.removeAttribute('aria-invalid');
  ErrorOf(input).remove();
  const described = input.getAttribute('aria-describedby').split(' ')
      .filter((w) => w && w !== input.id + '-error');
  if (described.length) input.setAttribute('aria-describedby', described.join(' '));
  else input.removeAttribute('aria-describedby');
}

// Marks each field that breaks its rule; false (the first such field focused) if any did.
function Check(form) {
  let first = null;
  for (const input of form.querySelectorAll('[data-rule]')) {
    const value = input.type === 'password' ? input.value : input.value.trim();
    const problem = kRules[input.dataset.rule](value);
    if (problem) {
      SetError(input, problem);
      first = first || input;
    } else {
      ClearError(input);
    }
  }
  if (first) first.focus();
  return !first;
}

for (const input of document.querySelectorAll('[data-rule]')) {
  input.addEventListener('input', () => {
    if (input.getAttribute('aria-invalid') !== 'true') return;
    const value = input.type === 'password' ? input.value : input.value.trim();
    const problem = kRules[input.dataset.rule](value);
    if (problem) SetError(input, problem); else ClearError(input);
  });
}

function Words(text) {
  return text.trim().split(/\s+/).filter((w) => w !== '');
}

Field('setup-form').addEventListener('submit', (event) => {
  event.preventDefault();
  if (!Check(event.target)) return;
  const line = ['setup', Field('setup-name').value.trim(), Field('setup-password').value,
    Field('setup-pronouns').value.trim(), Field('setup-age').value.trim(),
    Field('setup-role').value, Field('setup-clan').value,
    '"', ...Words(Field('setup-description').value), '"', '-', '-'].join(' ');
  // The password stays until the cat is in play: a refused name is typed again alone.
  if (Send(line)) command.focus();
});

Field('login-form').addEventListener('submit', (event) => {
  event.preventDefault();
  if (!Check(event.target)) return;
  if (Send(['login', Field('login-name').value.trim(), Field('login-password').value].join(' '))) {
    Field('login-password').value = '';
    command.focus();
  }
});

DrawMap();
SetPlaying('');
Connect();
