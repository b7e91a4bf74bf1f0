// The Pelthollow web client: one WebSocket to the game, the game's text in a log,
// a command line with history, and forms that build the setup and login lines.
'use strict';

const kKeptLines = 2000;     // lines of output kept on the page
const kHistoryLines = 100;   // sent lines that Up and Down recall

const output = document.getElementById('output');
const status = document.getElementById('status');
const closedPanel = document.getElementById('closed');
const commandForm = document.getElementById('command-form');
const command = document.getElementById('command');

let socket = null;

// Control characters as the terminal client shows them: ^[ for ESC, ^? for DEL.
function Caret(text) {
  return text.replace(/[\x00-\x08\x0b-\x1f\x7f]/g,
      (c) => c === '\x7f' ? '^?' : '^' + String.fromCharCode(c.charCodeAt(0) + 64));
}

// Adds lines to the log as text, never as markup, and drops the oldest past the limit.
function Show(text, kind) {
  const stickToEnd = output.scrollTop + output.clientHeight >= output.scrollHeight - 4;
  for (const line of text.split('\n')) {
    const row = document.createElement('div');
    row.className = kind;
    row.textContent = Caret(line);
    output.appendChild(row);
  }
  while (output.childElementCount > kKeptLines) output.firstElementChild.remove();
  if (stickToEnd) output.scrollTop = output.scrollHeight;
}

// The line as echoed on the page: the password of setup and login hidden.
function Echo(line) {
  const words = line.split(' ');
  if ((words[0] === 'setup' || words[0] === 'login') && words.length > 2) words[2] = '***';
  return words.join(' ');
}

function Send(line) {
  if (!socket || socket.readyState !== WebSocket.OPEN) {
    Show('Not connected.', 'note');
    return false;
  }
  Show(Echo(line), 'sent');
  socket.send(line);
  return true;
}

function Connect() {
  const scheme = location.protocol === 'https:' ? 'wss://' : 'ws://';
  socket = new WebSocket(scheme + location.host + '/ws');
  status.textContent = 'Connecting…';
  closedPanel.hidden = true;
  socket.addEventListener('open', () => { status.textContent = 'Connected'; });
  socket.addEventListener('message', (event) => {
    if (typeof event.data === 'string') Show(event.data, 'game');
  });
  socket.addEventListener('close', (event) => {
    socket = null;
    Show('Connection closed by server.', 'note');
    if (event.reason) Show(event.reason, 'note');
    status.textContent = 'Not connected';
    closedPanel.hidden = false;
  });
}

// Up and Down walk the sent lines; the line being typed is kept below the newest.
const history = [];
let historyAt = 0;    // history.length while editing a new line
let draft = '';

commandForm.addEventListener('submit', (event) => {
  event.preventDefault();
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
  if (historyAt === history.length) draft = command.value;
  if (event.key === 'ArrowUp' && historyAt > 0) historyAt--;
  if (event.key === 'ArrowDown' && historyAt < history.length) historyAt++;
  command.value = historyAt === history.length ? draft : history[historyAt];
  command.setSelectionRange(command.value.length, command.value.length);
});

function Words(text) {
  return text.trim().split(/\s+/).filter((w) => w !== '');
}

const Field = (id) => document.getElementById(id);

Field('setup-form').addEventListener('submit', (event) => {
  event.preventDefault();
  const line = ['setup', Field('setup-name').value.trim(), Field('setup-password').value,
    Field('setup-pronouns').value.trim(), Field('setup-age').value.trim(),
    Field('setup-role').value, Field('setup-clan').value,
    '"', ...Words(Field('setup-description').value), '"', '-', '-'].join(' ');
  if (Send(line)) {
    Field('setup-password').value = '';
    command.focus();
  }
});

Field('login-form').addEventListener('submit', (event) => {
  event.preventDefault();
  if (Send(['login', Field('login-name').value.trim(), Field('login-password').value].join(' '))) {
    Field('login-password').value = '';
    command.focus();
  }
});

document.getElementById('reconnect').addEventListener('click', () => {
  Connect();
  command.focus();
});

Connect();
