// --- Keyboard shortcuts ----------------------------------------------------------

// Alt+Shift with a key, anywhere on the page: typing never makes it, browsers leave it
// to the page, and screen readers use it only outside text fields (where they read the
// page themselves). The keys are named by their place on the keyboard (event.code), so
// that a layout or the Shift key does not change them. The page's "Keyboard shortcuts"
// section lists them; keep it in step.
const kShortcuts = {
  ArrowUp: () => Send('north'),
  ArrowDown: () => Send('south'),
  ArrowLeft: () => Send('west'),
  ArrowRight: () => Send('east'),
  KeyL: () => Send('look'),
  KeyW: () => Speak(WhereText()),
  KeyC: () => Speak(CatsText()),
  KeyV: () => Speak(VitalsText()),
  KeyR: ReadAgain,
};

document.addEventListener('keydown', (event) => {
  if (!event.altKey || !event.shiftKey || event.ctrlKey || event.metaKey) return;
  const action = kShortcuts[event.code];
  if (!action) return;
  event.preventDefault();
  action();
});

// --- The start -------------------------------------------------------------------

DrawMap();
SetPlaying('');
