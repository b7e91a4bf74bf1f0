// --- Sending ---------------------------------------------------------------------

// The page opens its socket when there is a line to send, never before: the server
// gives a connection a limited time to enter play, and a player may take longer than
// that to fill in a form. Lines sent while it opens wait for it.
const kWaitingLines = 20;
const waitingLines = [];

// Echoes a sent line with the password of setup and login hidden (both passwords of
// a password line), and notes the name such a line tries.
function Echo(line) {
  const words = line.split(' ');
  if (words[0] === 'setup' || words[0] === 'login') {
    triedName = words[1] || '';
    if (words.length > 2) words[2] = '***';
  } else if (words[0] === 'password' && words.length > 1) {
    words.splice(1, 2, '***');
  }
  Show(words.join(' '), 'sent');
}

// Sends `line`, connecting first if need be. False when it cannot be sent.
function Send(line) {
  if (socket && socket.readyState === WebSocket.OPEN) {
    Echo(line);
    Transmit(line);
    return true;
  }
  if (waitingLines.length >= kWaitingLines) {
    Show('Still connecting; wait a moment.', 'note');
    return false;
  }
  Echo(line);
  waitingLines.push(line);
  Connect();
  return true;
}

// With GMCP the game's lines travel in binary messages, GMCP in text ones.
function Transmit(line) {
  socket.send(gmcp ? encoder.encode(line) : line);
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

// Opens the page's one socket, unless one is connecting, open or closing: a second
// click on Reconnect, or a line sent meanwhile, makes no second one.
function Connect() {
  if (socket) return;
  const scheme = location.protocol === 'https:' ? 'wss://' : 'ws://';
  // A server without GMCP fails a handshake that asks for it: then the next try asks
  // for no subprotocol, at once, and the one after asks again.
  asked = askGmcp;
  opened = false;
  played = false;
  const ws = new WebSocket(scheme + location.host + '/ws', asked ? [kGmcp] : []);
  ws.binaryType = 'arraybuffer';
  socket = ws;
  SetStatus('Connecting…');
  ws.addEventListener('open', () => {
    if (socket !== ws) return;
    opened = true;
    gmcp = ws.protocol === kGmcp;
    closedPanel.hidden = true;
    SetStatus('Log in or make a new cat');
    SendGmcp('Core.Supports.Set', ['Char 1', 'Room 1', 'Comm 1']);
    if (ReaderModeWanted()) Transmit('screenreader');
    for (const line of waitingLines.splice(0)) Transmit(line);
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

// The end of the socket, whatever ended it: the page stops playing at once. Nothing of
// the old socket is heard afterwards, and a new one opens only when a line is sent.
function Lost(reason, why = 'Connection closed by server.') {
  socket = null;
  EndFrame();
  SetPlaying('');
  askGmcp = !asked || opened;
  if (asked && !opened) {
    Connect();
    return;
  }
  if (!opened) {
    waitingLines.length = 0;
    Show('Could not connect to the server. Send again to try once more.', 'note');
  } else {
    // Out of play, nothing is lost: the next line sent opens a socket again.
    Show(played ? why : `${why} Sending a form or a command connects again.`, 'note');
    if (reason) Show(reason, 'note');
    OfferLogin();
  }
  SetStatus('Not connected. Sending a form or a command connects again.');
  closedPanel.hidden = false;
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
  Connect();
  command.focus();
});

// --- Screen reader mode ----------------------------------------------------------

// The server words its text for screen readers on a connection that sends the line
// `screenreader`, which turns the mode on or off. The page keeps the player's choice
// and sends the line after connecting when it is on, and whenever it changes.
const kReaderModeKey = 'pelthollow.screenReaderMode';
const readerBox = Field('screen-reader');

function ReaderModeWanted() {
  return readerBox.checked;
}

try {
  readerBox.checked = localStorage.getItem(kReaderModeKey) === 'on';
} catch (error) {
  // Storage refused (a private window): the box starts unchecked.
}

readerBox.addEventListener('change', () => {
  try {
    localStorage.setItem(kReaderModeKey, readerBox.checked ? 'on' : 'off');
  } catch (error) {
    // Not kept past this page; it still works on this connection.
  }
  if (socket && socket.readyState === WebSocket.OPEN) Transmit('screenreader');
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
    played = true;
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
    here = null;
    vitals = [];
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
  } else if (line === 'Screen reader mode on.' || line === 'Screen reader mode off.') {
    // Typed by hand, the command changes the mode too: the box follows.
    readerBox.checked = line.endsWith('on.');
    try {
      localStorage.setItem(kReaderModeKey, readerBox.checked ? 'on' : 'off');
    } catch (error) {
      // As above.
    }
  }
}
