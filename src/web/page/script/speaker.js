// --- What a screen reader reads ----------------------------------------------------

// Each message is handed to a screen reader once, whole, through one of two hidden
// live regions (polite, and assertive for what the operator says and whispers to the
// player), in the order it came. The page paces them, since screen readers lose
// messages handed over the wrong way:
// - a key press makes a screen reader drop what it has not yet read, so while the
//   player types a message waits until typing pauses (Enter ends typing at once);
// - an assertive message makes it drop the polite ones it still holds, so each
//   message is handed over a moment after the one before, an assertive one a longer
//   moment after a polite one;
// - the same text twice in a row is taken for a repeated notice and read once, so a
//   blank that is not read goes between the two.
const kSpacing = 150;        // ms between two messages
const kBeforeUrgent = 500;   // ms between a polite message and an assertive one
const kTypingPause = 1000;   // a pause in typing this long lets messages through
const kAfterKey = 300;       // ms after any other key press
const kKeptInRegion = 4;     // messages left in a region, for a reader who looks back
const kReviewed = 20;        // messages that Alt+Shift+R reads again

const speechQueue = [];      // {text, urgent} not yet handed over
let lastHanded = { at: -Infinity, urgent: false, text: '' };
let quietUntil = 0;          // no message is handed over before this time
let speechTimer = null;
const reviewed = [];         // the last messages, newest last
let reviewAt = -1;           // the one Alt+Shift+R read last, -1 for none since a new one

// Queues `text` to be read. `urgent`: read at once, assertively; `review`: a message
// of the game or the page that Alt+Shift+R may read again, not an answer to a key.
function Speak(text, { urgent = false, review = false } = {}) {
  if (text.trim() === '') return;
  speechQueue.push({ text, urgent });
  if (review) {
    reviewed.push(text);
    if (reviewed.length > kReviewed) reviewed.shift();
    reviewAt = -1;
  }
  HandOver();
}

function HandOver() {
  clearTimeout(speechTimer);
  speechTimer = null;
  if (speechQueue.length === 0) return;
  const now = performance.now();
  const next = speechQueue[0];
  const gap = next.urgent && !lastHanded.urgent ? kBeforeUrgent : kSpacing;
  const wait = Math.max(lastHanded.at + gap, quietUntil) - now;
  if (wait > 0) {
    speechTimer = setTimeout(HandOver, wait);
    return;
  }
  speechQueue.shift();
  const region = Field(next.urgent ? 'speak-now' : 'speak-polite');
  if (next.text === lastHanded.text) AddToRegion(region, '\u00a0');
  AddToRegion(region, next.text);
  lastHanded = { at: now, urgent: next.urgent, text: next.text };
  if (speechQueue.length) speechTimer = setTimeout(HandOver, kSpacing);
}

function AddToRegion(region, text) {
  const entry = document.createElement('div');
  entry.textContent = text;
  region.append(entry);
  while (region.childElementCount > kKeptInRegion) region.firstElementChild.remove();
}

// Typing in a field holds messages back until it pauses; any other key briefly, Enter
// included: the player now waits for the answer.
document.addEventListener('keydown', (event) => {
  const now = performance.now();
  const field = event.target instanceof HTMLInputElement || event.target instanceof HTMLTextAreaElement;
  if (['Shift', 'Alt', 'Control', 'Meta'].includes(event.key)) {
    quietUntil = Math.max(quietUntil, now + kAfterKey);
  } else if (field && event.key !== 'Enter' && !event.altKey && !event.ctrlKey && !event.metaKey) {
    quietUntil = now + kTypingPause;
  } else {
    quietUntil = now + kAfterKey;
  }
  HandOver();
}, true);

// Alt+Shift+R: the last message again; each press more goes one further back.
function ReadAgain() {
  if (reviewed.length === 0) {
    Speak('No messages yet.');
    return;
  }
  reviewAt = reviewAt < 0 ? reviewed.length - 1 : Math.max(0, reviewAt - 1);
  Speak(reviewed[reviewAt]);
}
