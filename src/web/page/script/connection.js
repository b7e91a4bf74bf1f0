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

