// The Pelthollow web client: one WebSocket to the game, the game's text in a log,
// a command line with history, forms that build the setup and login lines, and, when
// the server speaks GMCP, a map, the exits, the cat's status and marked speech.
// Kept in four files that the build joins, in this order, into the one /pelthollow.js
// the page loads: log.js (the shared state and the log), connection.js (sending, the
// socket, playing or not), panels.js (GMCP, the panels and the map) and controls.js
// (the command line and the forms, and the start).
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

