// The client's line editor: bytes from the keyboard become keys, and keys change the
// line being typed. No terminal here: the screen writer (client/screen.h) draws the
// result. Only the client's main thread uses these records.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace client {

enum class KeyKind {
  Character,  // one character to insert: a UTF-8 character, or a single other byte
  Left,
  Right,
  Backspace,
  Enter,
};

struct Key {
  KeyKind kind = KeyKind::Character;
  std::string bytes;  // the character's bytes (Character only)
};

// Turns the bytes a terminal in raw mode sends into keys. ESC [ D and ESC O D are Left,
// ESC [ C and ESC O C are Right, every other escape sequence is dropped whole; 127 and
// 8 are Backspace; 13 and 10 are Enter; a UTF-8 character is gathered into one key.
struct KeyDecoder {
  enum class State {
    Plain,
    Escape,         // after ESC
    ControlString,  // after ESC [: parameters until a final byte
    SingleShift,    // after ESC O: one more byte
  };
  State state = State::Plain;
  bool withParameters = false;  // ESC [ had bytes before its final byte
  std::string pending;          // bytes of an unfinished UTF-8 character
};

// Feeds one byte; appends the keys it completes to `keys` (none while a sequence or a
// character is unfinished).
void DecodeKeyByte(KeyDecoder& decoder, unsigned char byte, std::vector<Key>& keys);

// True while the decoder holds the start of an escape sequence or of a character.
bool DecoderWaiting(const KeyDecoder& decoder);

// No more bytes came in time: a lone ESC (the Escape key) is dropped, the bytes of an
// unfinished character each become a key of their own.
void DecoderTimedOut(KeyDecoder& decoder, std::vector<Key>& keys);

// The line being typed. Invariant: `cursor` <= editLine.size() and lies at the start
// of a character (as client::CharLength cuts the line) or at the end.
struct LineEditor {
  std::string editLine;
  std::size_t cursor = 0;  // byte offset in editLine before which the next character goes
};

// Applies one key. Enter moves the whole line into `finished`, empties the editor and
// returns true, so keys after Enter belong to the next line; every other key returns
// false and leaves `finished` untouched. Left at the start, Right at the end and
// Backspace at the start change nothing.
bool ApplyKey(LineEditor& editor, const Key& key, std::string& finished);

// 1 + the number of characters before the cursor.
int CursorColumn(const LineEditor& editor);

}  // namespace client
