#include "client/editor.h"

#include <utility>

#include "client/display.h"

namespace client {

namespace {

constexpr unsigned char kEscape = 0x1B;

bool IsContinuation(unsigned char byte) { return (byte & 0xC0) == 0x80; }

// Bytes a character needs when it starts with `lead`; 1 for anything that cannot
// start a longer character.
std::size_t NeededBytes(unsigned char lead) {
  if (lead >= 0xC2 && lead <= 0xDF) return 2;
  if (lead >= 0xE0 && lead <= 0xEF) return 3;
  if (lead >= 0xF0 && lead <= 0xF4) return 4;
  return 1;
}

void PushCharacter(std::vector<Key>& keys, std::string bytes) {
  keys.push_back(Key{KeyKind::Character, std::move(bytes)});
}

// Each byte of an unfinished or malformed character becomes a key of its own.
void FlushPending(KeyDecoder& decoder, std::vector<Key>& keys) {
  for (const char byte : decoder.pending) PushCharacter(keys, std::string(1, byte));
  decoder.pending.clear();
}

void DecodePlain(KeyDecoder& decoder, unsigned char byte, std::vector<Key>& keys) {
  if (!decoder.pending.empty()) {
    if (IsContinuation(byte)) {
      decoder.pending.push_back(static_cast<char>(byte));
      if (decoder.pending.size() < NeededBytes(static_cast<unsigned char>(decoder.pending[0]))) {
        return;
      }
      if (CharLength(decoder.pending, 0) == decoder.pending.size()) {
        PushCharacter(keys, std::exchange(decoder.pending, {}));
      } else {
        FlushPending(decoder, keys);  // an overlong form or a surrogate
      }
      return;
    }
    FlushPending(decoder, keys);
  }
  switch (byte) {
    case kEscape:
      decoder.state = KeyDecoder::State::Escape;
      return;
    case 13:
    case 10:
      keys.push_back(Key{KeyKind::Enter, {}});
      return;
    case 127:
    case 8:
      keys.push_back(Key{KeyKind::Backspace, {}});
      return;
    default:
      break;
  }
  if (NeededBytes(byte) > 1) {
    decoder.pending.push_back(static_cast<char>(byte));
    return;
  }
  PushCharacter(keys, std::string(1, static_cast<char>(byte)));
}

}  // namespace

void DecodeKeyByte(KeyDecoder& decoder, unsigned char byte, std::vector<Key>& keys) {
  using State = KeyDecoder::State;
  switch (decoder.state) {
    case State::Plain:
      DecodePlain(decoder, byte, keys);
      return;
    case State::Escape:
      if (byte == '[') {
        decoder.state = State::ControlString;
        decoder.withParameters = false;
      } else if (byte == 'O') {
        decoder.state = State::SingleShift;
      } else if (byte == kEscape) {
        // the Escape key pressed twice: the first is dropped, the second may start a
        // sequence
      } else {
        decoder.state = State::Plain;  // Alt and a key: dropped with the ESC
      }
      return;
    case State::ControlString:
      if (byte >= 0x20 && byte <= 0x3F) {
        decoder.withParameters = true;  // parameter or intermediate byte
        return;
      }
      decoder.state = State::Plain;
      if (byte >= 0x40 && byte <= 0x7E) {
        if (!decoder.withParameters && byte == 'D') keys.push_back(Key{KeyKind::Left, {}});
        if (!decoder.withParameters && byte == 'C') keys.push_back(Key{KeyKind::Right, {}});
        return;
      }
      DecodePlain(decoder, byte, keys);  // a broken sequence: the byte is a key again
      return;
    case State::SingleShift:
      decoder.state = State::Plain;
      if (byte == 'D') keys.push_back(Key{KeyKind::Left, {}});
      if (byte == 'C') keys.push_back(Key{KeyKind::Right, {}});
      return;
  }
}

bool DecoderWaiting(const KeyDecoder& decoder) {
  return decoder.state != KeyDecoder::State::Plain || !decoder.pending.empty();
}

void DecoderTimedOut(KeyDecoder& decoder, std::vector<Key>& keys) {
  decoder.state = KeyDecoder::State::Plain;
  FlushPending(decoder, keys);
}

bool ApplyKey(LineEditor& editor, const Key& key, std::string& finished) {
  std::string& line = editor.editLine;
  switch (key.kind) {
    case KeyKind::Enter:
      finished = std::exchange(line, {});
      editor.cursor = 0;
      return true;
    case KeyKind::Backspace:
      if (editor.cursor > 0) {
        const std::size_t start = PreviousCharStart(line, editor.cursor);
        line.erase(start, editor.cursor - start);
        editor.cursor = start;
      }
      return false;
    case KeyKind::Left:
      if (editor.cursor > 0) editor.cursor = PreviousCharStart(line, editor.cursor);
      return false;
    case KeyKind::Right:
      if (editor.cursor < line.size()) editor.cursor += CharLength(line, editor.cursor);
      return false;
    case KeyKind::Character: {
      line.insert(editor.cursor, key.bytes);
      // A stray byte can join the bytes around it into one character: the cursor then
      // goes to the end of that character, never inside it.
      const std::size_t after = editor.cursor + key.bytes.size();
      std::size_t at = 0;
      while (at < after) at += CharLength(line, at);
      editor.cursor = at;
      return false;
    }
  }
  return false;
}

int CursorColumn(const LineEditor& editor) {
  int column = 1;
  for (std::size_t at = 0; at < editor.cursor; at += CharLength(editor.editLine, at)) ++column;
  return column;
}

}  // namespace client
