// --- GMCP ------------------------------------------------------------------------

// The panels change without a word: a screen reader hears the game's text, and the
// panels are one key away (keys.js).
let here = null;            // Room.Info of the cat's cell, or null
let catsHere = [];          // Room.Players: the cats on it
let vitals = [];            // [label, value, most] of Char.Vitals, in body order

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
  vitals = [];
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
    vitals.push([Label(key), value, most]);
  }
  FillList(Field('cat-vitals'), pairs);
}

function ShowCatsHere(list, none = 'No one') {
  const ul = Field('cats-here');
  ul.replaceChildren();
  catsHere = Array.isArray(list) ? list.filter((cat) => cat && typeof cat.name === 'string') : [];
  for (const cat of catsHere) {
    const li = document.createElement('li');
    li.textContent = cat.clan ? `${cat.name} (${cat.clan})` : cat.name;
    ul.append(li);
  }
  if (catsHere.length === 0) {
    const li = document.createElement('li');
    li.textContent = none;
    ul.append(li);
  }
  DescribeMap();
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
  here = Number.isFinite(x) && Number.isFinite(y) ? { x, y } : null;
  if (here) {
    const you = Field('you-are-here');
    you.setAttribute('cx', x + 0.5);
    you.setAttribute('cy', y + 0.5);
    you.dataset.cell = `${x},${y}`;
    you.removeAttribute('visibility');
  }
  DescribeMap();
}

// --- The panels in words, for the shortcuts --------------------------------------

// "3 north and 2 east" of (x, y) to (toX, toY); '' when it is the same cell.
function Offset(x, y, toX, toY) {
  const parts = [];
  if (toY !== y) parts.push(`${Math.abs(toY - y)} ${toY < y ? 'north' : 'south'}`);
  if (toX !== x) parts.push(`${Math.abs(toX - x)} ${toX < x ? 'west' : 'east'}`);
  return parts.join(' and ');
}

function OwnCamp() {
  const key = clan.toLowerCase();
  return kCamps.find((camp) => key.startsWith(camp.key)) || null;
}

// Where the cat is, its exits, and the way to its camp and to Oldmeadow.
function WhereText() {
  if (!playerName) return 'Not playing.';
  const parts = [Field('map-text').textContent];
  if (here) {
    const camp = OwnCamp();
    if (camp) {
      const way = Offset(here.x, here.y, camp.x, camp.y);
      parts.push(way ? `Your camp's centre is ${way}.` : 'You are at the centre of your camp.');
    }
    const way = Offset(here.x, here.y, kMeadow.x, kMeadow.y);
    parts.push(way ? `Oldmeadow is ${way}.` : 'You are in Oldmeadow.');
  }
  return parts.join(' ');
}

function OthersHere() {
  return catsHere.filter((cat) => cat.name !== playerName)
      .map((cat) => (cat.clan ? `${cat.name} of ${cat.clan}` : cat.name));
}

function CatsText() {
  if (!playerName) return 'Not playing.';
  if (!here) return 'Type look to see who is here.';
  const others = OthersHere();
  return others.length ? `Here with you: ${others.join(', ')}.` : 'No other cat is here.';
}

function VitalsText() {
  if (!playerName) return 'Not playing.';
  if (vitals.length === 0) return 'Type status to see your health.';
  return 'Health: ' + vitals.map(([label, value, most]) => `${label.toLowerCase()} ${value} of ${most}`)
      .join(', ') + '.';
}

// --- The drawn map ---------------------------------------------------------------

const kSvg = 'http://www.w3.org/2000/svg';
const kCamps = [
  { key: 'lark', name: 'Lark', clan: 'Larkfold', side: 'north-west', x: 7, y: 7 },
  { key: 'fern', name: 'Fern', clan: 'Fernfold', side: 'north-east', x: 23, y: 7 },
  { key: 'moss', name: 'Moss', clan: 'Mossfold', side: 'south-west', x: 7, y: 23 },
  { key: 'ember', name: 'Ember', clan: 'Emberfold', side: 'south-east', x: 23, y: 23 },
];
const kMeadow = { x: 14, y: 14 };

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
  DescribeMap();
}

// The drawing's text alternative: all that it shows, in words.
function DescribeMap() {
  const own = OwnCamp();
  const camps = kCamps.map((camp) => `${camp.clan} ${camp.side} at ${camp.x}, ${camp.y}` +
      (camp === own ? ' (your camp)' : '')).join('; ');
  const parts = [`Map of the territory, ${kSize} by ${kSize} cells. Camps: ${camps}. ` +
      `Oldmeadow in the middle at ${kMeadow.x}, ${kMeadow.y}.`];
  if (playerName && here) {
    parts.push(`You are at ${here.x}, ${here.y}.`);
    const others = OthersHere();
    parts.push(others.length ? `On your cell: ${others.join(', ')}.` : 'No other cat on your cell.');
  }
  Field('map-drawing').setAttribute('aria-label', parts.join(' '));
}
