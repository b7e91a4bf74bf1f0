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
  // A line with a password is never kept, so that Up cannot show it to the next person
  // at the keyboard.
  const secret = /^(setup|login|password) /.test(line);
  if (!secret && history[history.length - 1] !== line) history.push(line);
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
