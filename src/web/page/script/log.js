// The Pelthollow web client: one WebSocket to the game, opened when there is something
// to send, the game's text in a log, a command line with history, forms that build the
// setup and login lines, and, when the server speaks GMCP, a map, the exits, the cat's
// status and speech marked by its kind.
// Kept in six files that the build joins, in this order, into the one /pelthollow.js
// the page loads: log.js (the shared state and the log), speaker.js (what a screen
// reader is given to read), connection.js (sending, the socket, playing or not),
// panels.js (GMCP, the panels and the map), controls.js (the command line and the
// forms) and keys.js (the keyboard shortcuts, and the start).
'use strict';

const kKeptLines = 2000;     // rows of output kept on the page
const kHistoryLines = 100;   // sent lines that Up and Down recall
const kGmcp = 'gmcp.mudstandards.org';
const kSize = 30;            // the territory is kSize by kSize cells
const kSpeechVerbs = { say: 'says', yowl: 'yowls', whisper: 'whispers' };
// How long a frame that may hold speech waits for the Comm.Channel.Text messages that
// name its kinds. They leave the server right after it, so they come at once; the wait
// only bounds a frame that merely looks like speech ("format: say message").
const kSpeechWait = 300;
// Lines from the operator, which a screen reader reads at once.
const kUrgentLines = [/^\[Announcement\] /, /^The server is (going down|restarting) /,
  /^The (restart|shutdown) is called off\.$/, /^You have been removed from the game\.$/,
  /^Your address is not allowed here\.$/];

const Field = (id) => document.getElementById(id);
const output = Field('output');
const status = Field('status');
const closedPanel = Field('closed');
const commandForm = Field('command-form');
const command = Field('command');

let socket = null;          // the page's one WebSocket, from Connect until it is lost
let asked = false;          // whether it asked for GMCP
let opened = false;         // whether it opened
let played = false;         // whether a cat entered play on it
let gmcp = false;           // the server took the GMCP subprotocol
let askGmcp = true;         // whether the next connection asks for it
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

// One row of the log for each frame, note or sent line, added whole. The log is no
// live region of any kind, not even one marked "off": speaker.js gives screen readers
// what to read, and Orca takes a row added to an "off" region for the last message it
// was given, and skips the same words handed over right after. A reader who goes back
// over the log meets each frame as one block, a line a row inside it.
function AddRow(kind, lines) {
  const row = document.createElement('div');
  row.className = kind;
  for (const line of lines) {
    const div = document.createElement('div');
    div.className = 'line';
    div.textContent = Caret(line);
    row.append(div);
  }
  output.appendChild(row);
  while (output.childElementCount > kKeptLines) output.firstElementChild.remove();
  FollowEnd();
  return row;
}

// Adds a note of the page's own, read as a message, or a line the player sent, which
// is hidden from screen readers: it was just typed.
function Show(text, kind) {
  const row = AddRow(kind, [text]);
  if (kind === 'sent') row.setAttribute('aria-hidden', 'true');
  else Speak(text, { urgent: false, review: true });
}

// --- Frames and speech -----------------------------------------------------------

// A frame joins its messages with line feeds. A line of speech arrives as
// "Birchpaw: words " and, with GMCP, a Comm.Channel.Text naming its kind follows the
// frame: the frame waits for it, so that it is shown and read once, whole, with its
// kind in words ("Birchpaw says: words"). A server that words speech itself sends
// "Birchpaw says: words", which is taken as it is.
let waiting = null;         // {lines, talks, timer}: the frame waiting for its speech

const MayBeSpeech = (line) => /^[^\s:]+(?: (?:says|yowls|whispers))?: /.test(line);

function ShowGame(text) {
  EndFrame();
  const lines = text.replace(/\r?\n$/, '').split('\n');
  waiting = { lines, talks: lines.map(() => null), timer: null };
  if (gmcp && lines.some(MayBeSpeech)) {
    waiting.timer = setTimeout(EndFrame, kSpeechWait);
  } else {
    EndFrame();
  }
}

// The line `line` as words of `talk` said, or '' when it is not them.
function Worded(line, talk) {
  const verb = kSpeechVerbs[talk.channel];
  const said = line.trimEnd();
  const words = talk.text.trimEnd();
  if (said === `${talk.talker}: ${words}` || said === `${talk.talker} ${verb}: ${words}`) {
    return `${talk.talker} ${verb}: ${words}`;
  }
  return '';
}

function OnSpeech(talk) {
  if (!kSpeechVerbs[talk.channel]) return;
  if (typeof talk.talker !== 'string' || typeof talk.text !== 'string') return;
  if (!waiting) return;
  const at = waiting.lines.findIndex((line, i) => !waiting.talks[i] && Worded(line, talk));
  if (at < 0) return;
  waiting.talks[at] = talk;
  if (waiting.lines.every((line, i) => waiting.talks[i] || !MayBeSpeech(line))) EndFrame();
}

// Shows and reads the waiting frame, if any.
function EndFrame() {
  const frame = waiting;
  if (!frame) return;
  waiting = null;
  clearTimeout(frame.timer);
  const words = frame.lines.map((line, i) => (frame.talks[i] ? Worded(line, frame.talks[i]) : line.trimEnd()));
  const row = AddRow('game', words);
  let urgent = false;
  frame.talks.forEach((talk, i) => {
    if (!talk) return;
    row.children[i].classList.add('speech', 'speech-' + talk.channel);
    urgent = urgent || (talk.channel === 'whisper' && talk.talker !== playerName);
  });
  urgent = urgent || words.some((line) => kUrgentLines.some((rule) => rule.test(line)));
  Speak(words.map(Caret).join('\n'), { urgent, review: true });
  for (const line of frame.lines) WatchText(line);
}
