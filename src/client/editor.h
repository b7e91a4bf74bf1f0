// The client's line editor: bytes from the keyboard become keys, and keys change the
// line being typed and recall the lines sent before. No terminal here: the screen
// writer (client/screen.h) draws the result. Only the client's main thread uses these
// records.
#pragma once

#include <cstddef>
#include <deque>
#include <string>
#include <string_view>
#include <vector>

namespace client {

enum class KeyKind {
  Character,  // one character to insert: a UTF-8 character, or a single other byte
  Left,
  Right,
  Up,      // recall the line sent before the one shown
  Down,    // recall the line sent after the one shown, or the line being typed
  Home,    // Home or Ctrl-A
  End,     // End or Ctrl-E
  Delete,  // the character under the cursor
  Backspace,
  ClearLine,   // Ctrl-U
  ClearToEnd,  // Ctrl-K
  EraseWord,   // Ctrl-W: the word before the cursor
  Enter,
};

struct Key {
  KeyKind kind = KeyKind::Character;
  std::string bytes;  // the character's bytes (Character only)
};

// Turns the bytes a terminal in raw mode sends into keys. The cursor and editing keys
// come as ESC [ or ESC O sequences (Up A, Down B, Right C, Left D, Home H, End F; ESC [
// 1 ~ and 7 ~ Home, 4 ~ and 8 ~ End, 3 ~ Delete); every other ESC [ or ESC O sequence
// (function keys, keys with modifiers) is dropped whole. ESC followed by a byte that
// starts no sequence is the ESC character and then that byte's key (Alt+x types both);
// ESC with nothing after it in time is the ESC character. 127 and 8 are Backspace, 13
// and 10 Enter, Ctrl-A, Ctrl-E, Ctrl-U, Ctrl-K and Ctrl-W their keys above; any other
// byte, control bytes such as Tab included, is a character, and a UTF-8 character is
// gathered into one key.
struct KeyDecoder {
  enum class State {
    Plain,
    Escape,         // after ESC
    ControlString,  // after ESC [: parameters until a final byte
    SingleShift,    // after ESC O: one more byte
  };
  State state = State::Plain;
  std::string parameters;  // bytes between ESC [ and the final byte, at most a few kept
  std::string pending;     // bytes of an unfinished UTF-8 character
};

// Feeds one byte; appends the keys it completes to `keys` (none while a sequence or a
// character is unfinished).
void DecodeKeyByte(KeyDecoder& decoder, unsigned char byte, std::vector<Key>& keys);

// True while the decoder holds the start of an escape sequence or of a character.
bool DecoderWaiting(const KeyDecoder& decoder);

// No more bytes came in time: a lone ESC is the ESC character, ESC [ and ESC O are two
// characters each (Alt+[ and Alt+O), a sequence cut short after its parameters is
// dropped, and the bytes of an unfinished character each become a key of their own.
void DecoderTimedOut(KeyDecoder& decoder, std::vector<Key>& keys);

// Lines kept for Up and Down.
inline constexpr std::size_t kHistoryLines = 100;

// Finds the password in a typed line, the word the server takes as one: the third word
// of a line whose first word is exactly "setup" or "login", words separated by single
// spaces as the server splits them (so "login  Ash pw" has the password "Ash", and
// " login Ash pw" is no login line). On success sets [begin, end) to its bytes (empty
// while nothing of it is typed yet: "login Ash ") and returns true; for any other line,
// and for a setup or login line of fewer than three words, returns false and leaves
// `begin` and `end` untouched. For a line whose first word is exactly "password", the
// secret is both of its next words, from the start of the second word to the end of the
// third, as soon as the first blank is typed.
bool FindPassword(std::string_view line, std::size_t& begin, std::size_t& end);

// The line being typed and the lines sent before it. Invariant: `cursor` <=
// editLine.size() and lies at the start of a character (as client::CharLength cuts the
// line) or at the end; recalled <= history.size().
struct LineEditor {
  std::string editLine;
  std::size_t cursor = 0;  // byte offset in editLine before which the next character goes
  // Lines sent, oldest first; a repeat of the newest and lines with a password are not added.
  std::deque<std::string> history;
  // The history line shown, or history.size() while the line being typed is shown.
  std::size_t recalled = 0;
  std::string draft;  // the line being typed, kept while a history line is shown
};

// Applies one key. Enter moves the whole line into `finished`, adds it to the history
// unless it is empty or holds a password (FindPassword), empties the editor and
// returns true, so keys after Enter belong to the next line; every other key returns
// false and leaves `finished` untouched. Up and Down show the whole history line with
// the cursor at its end; changes made to a history line are not kept when Up or Down
// leaves it. Keys with nothing to act on (Left at the start, Up at the oldest line,
// Delete at the end, ...) change nothing.
bool ApplyKey(LineEditor& editor, const Key& key, std::string& finished);

// 1 + the number of characters before the cursor.
int CursorColumn(const LineEditor& editor);

}  // namespace client
