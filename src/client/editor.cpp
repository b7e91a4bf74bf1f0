#include "client/editor.h"

#include <algorithm>
#include <utility>

#include "client/display.h"
#include "base/utf8.h"

namespace client {

namespace {

constexpr unsigned char kEscape = 0x1B;

// Parameter bytes kept of an ESC [ sequence: enough for every sequence known below.
constexpr std::size_t kMaxParameters = 4;

constexpr unsigned char Control(char letter) { return static_cast<unsigned char>(letter - '@'); }

void PushCharacter(std::vector<Key>& keys, std::string bytes) {
  keys.push_back(Key{KeyKind::Character, std::move(bytes)});
}

// Each byte of an unfinished or malformed character becomes a key of its own.
void FlushPending(KeyDecoder& decoder, std::vector<Key>& keys) {
  for (const char byte : decoder.pending) PushCharacter(keys, std::string(1, byte));
  decoder.pending.clear();
}

struct ByteKey {
  unsigned char byte;
  KeyKind kind;
};

// Bytes that are keys of their own when typed alone.
constexpr ByteKey kControlKeys[] = {
    {13, KeyKind::Enter},
    {10, KeyKind::Enter},
    {127, KeyKind::Backspace},
    {8, KeyKind::Backspace},
    {Control('A'), KeyKind::Home},
    {Control('E'), KeyKind::End},
    {Control('U'), KeyKind::ClearLine},
    {Control('K'), KeyKind::ClearToEnd},
    {Control('W'), KeyKind::EraseWord},
};

// Final bytes of ESC [ (without parameters) and ESC O that are keys.
constexpr ByteKey kFinalKeys[] = {
    {'A', KeyKind::Up},   {'B', KeyKind::Down}, {'C', KeyKind::Right},
    {'D', KeyKind::Left}, {'H', KeyKind::Home}, {'F', KeyKind::End},
};

// Appends the key that `byte` is in `table`; returns false when it is none.
template <std::size_t N>
bool PushKeyOf(const ByteKey (&table)[N], unsigned char byte, std::vector<Key>& keys) {
  for (const ByteKey& entry : table) {
    if (entry.byte == byte) {
      keys.push_back(Key{entry.kind, {}});
      return true;
    }
  }
  return false;
}

// The key of ESC [ parameters ~.
void PushTildeKey(const std::string& parameters, std::vector<Key>& keys) {
  if (parameters == "1" || parameters == "7") keys.push_back(Key{KeyKind::Home, {}});
  if (parameters == "4" || parameters == "8") keys.push_back(Key{KeyKind::End, {}});
  if (parameters == "3") keys.push_back(Key{KeyKind::Delete, {}});
}

void DecodePlain(KeyDecoder& decoder, unsigned char byte, std::vector<Key>& keys) {
  if (!decoder.pending.empty()) {
    if (base::utf8::IsContinuation(byte)) {
      decoder.pending.push_back(static_cast<char>(byte));
      const auto lead = static_cast<unsigned char>(decoder.pending[0]);
      if (decoder.pending.size() < static_cast<std::size_t>(base::utf8::SequenceLength(lead))) {
        return;
      }
      if (base::utf8::WellFormedLength(decoder.pending, 0) == decoder.pending.size()) {
        PushCharacter(keys, std::exchange(decoder.pending, {}));
      } else {
        FlushPending(decoder, keys);  // an overlong form or a surrogate
      }
      return;
    }
    FlushPending(decoder, keys);
  }
  if (byte == kEscape) {
    decoder.state = KeyDecoder::State::Escape;
    return;
  }
  if (PushKeyOf(kControlKeys, byte, keys)) return;
  if (base::utf8::SequenceLength(byte) > 1) {
    decoder.pending.push_back(static_cast<char>(byte));
    return;
  }
  PushCharacter(keys, std::string(1, static_cast<char>(byte)));
}

bool IsBlank(char byte) { return byte == ' ' || byte == '\t'; }

// Shows a line of the history, or the line being typed, with the cursor at its end.
void Recall(LineEditor& editor, std::size_t index) {
  if (editor.recalled == editor.history.size()) editor.draft = editor.editLine;
  editor.recalled = index;
  editor.editLine =
      index == editor.history.size() ? std::exchange(editor.draft, {}) : editor.history[index];
  editor.cursor = editor.editLine.size();
}

// After an erase the bytes either side of the cursor meet, and a stray lead byte can
// join the continuation bytes after it into one character: the cursor then goes to
// that character's start.
void Erase(LineEditor& editor, std::size_t from, std::size_t to) {
  editor.editLine.erase(from, to - from);
  editor.cursor = CharStartAtOrBefore(editor.editLine, from);
}

// Adds a sent line to the history. A line with a password is never kept, so that Up
// cannot show it to whoever sits at the keyboard next.
void Remember(LineEditor& editor, const std::string& line) {
  std::size_t begin = 0;
  std::size_t end = 0;
  const bool secret = FindPassword(line, begin, end);
  if (!line.empty() && !secret && (editor.history.empty() || editor.history.back() != line)) {
    editor.history.push_back(line);
    if (editor.history.size() > kHistoryLines) editor.history.pop_front();
  }
  editor.recalled = editor.history.size();
  editor.draft.clear();
}

}  // namespace

bool FindPassword(std::string_view line, std::size_t& begin, std::size_t& end) {
  const std::size_t first = line.find(' ');
  if (first == std::string_view::npos) return false;
  const std::string_view command = line.substr(0, first);
  if (command == "password") {
    // Both the old password and the new one: everything up to the end of the third word.
    const std::size_t second = line.find(' ', first + 1);
    begin = first + 1;
    end = second == std::string_view::npos ? line.size() : std::min(line.find(' ', second + 1), line.size());
    return true;
  }
  if (command != "setup" && command != "login") return false;
  const std::size_t second = line.find(' ', first + 1);
  if (second == std::string_view::npos) return false;
  begin = second + 1;
  end = std::min(line.find(' ', begin), line.size());
  return true;
}

void DecodeKeyByte(KeyDecoder& decoder, unsigned char byte, std::vector<Key>& keys) {
  using State = KeyDecoder::State;
  switch (decoder.state) {
    case State::Plain:
      DecodePlain(decoder, byte, keys);
      return;
    case State::Escape:
      if (byte == '[') {
        decoder.state = State::ControlString;
        decoder.parameters.clear();
        return;
      }
      if (byte == 'O') {
        decoder.state = State::SingleShift;
        return;
      }
      // ESC and a key that starts no sequence (Alt+x, or Escape pressed twice): the ESC
      // is typed, and the key is a key of its own, which may start a sequence again.
      decoder.state = State::Plain;
      PushCharacter(keys, std::string(1, static_cast<char>(kEscape)));
      DecodePlain(decoder, byte, keys);
      return;
    case State::ControlString:
      if (byte >= 0x20 && byte <= 0x3F) {  // a parameter or intermediate byte
        if (decoder.parameters.size() <= kMaxParameters) {
          decoder.parameters.push_back(static_cast<char>(byte));
        }
        return;
      }
      decoder.state = State::Plain;
      if (byte >= 0x40 && byte <= 0x7E) {
        if (decoder.parameters.empty()) PushKeyOf(kFinalKeys, byte, keys);
        if (byte == '~') PushTildeKey(decoder.parameters, keys);
        return;
      }
      DecodePlain(decoder, byte, keys);  // a broken sequence: the byte is a key again
      return;
    case State::SingleShift:
      decoder.state = State::Plain;
      PushKeyOf(kFinalKeys, byte, keys);  // F1 to F4 and the rest: nothing
      return;
  }
}

bool DecoderWaiting(const KeyDecoder& decoder) {
  return decoder.state != KeyDecoder::State::Plain || !decoder.pending.empty();
}

void DecoderTimedOut(KeyDecoder& decoder, std::vector<Key>& keys) {
  using State = KeyDecoder::State;
  const std::string escape(1, static_cast<char>(kEscape));
  if (decoder.state == State::Escape) PushCharacter(keys, escape);
  if (decoder.state == State::SingleShift) {
    PushCharacter(keys, escape);
    PushCharacter(keys, "O");
  }
  if (decoder.state == State::ControlString && decoder.parameters.empty()) {
    PushCharacter(keys, escape);
    PushCharacter(keys, "[");
  }
  decoder.state = State::Plain;
  FlushPending(decoder, keys);
}

bool ApplyKey(LineEditor& editor, const Key& key, std::string& finished) {
  std::string& line = editor.editLine;
  std::size_t& cursor = editor.cursor;
  switch (key.kind) {
    case KeyKind::Enter:
      finished = std::exchange(line, {});
      cursor = 0;
      Remember(editor, finished);
      return true;
    case KeyKind::Backspace:
      if (cursor > 0) Erase(editor, PreviousCharStart(line, cursor), cursor);
      return false;
    case KeyKind::Delete:
      if (cursor < line.size()) Erase(editor, cursor, cursor + CharLength(line, cursor));
      return false;
    case KeyKind::Left:
      if (cursor > 0) cursor = PreviousCharStart(line, cursor);
      return false;
    case KeyKind::Right:
      if (cursor < line.size()) cursor += CharLength(line, cursor);
      return false;
    case KeyKind::Home:
      cursor = 0;
      return false;
    case KeyKind::End:
      cursor = line.size();
      return false;
    case KeyKind::Up:
      if (editor.recalled > 0) Recall(editor, editor.recalled - 1);
      return false;
    case KeyKind::Down:
      if (editor.recalled < editor.history.size()) Recall(editor, editor.recalled + 1);
      return false;
    case KeyKind::ClearLine:
      line.clear();
      cursor = 0;
      return false;
    case KeyKind::ClearToEnd:
      line.erase(cursor);
      return false;
    case KeyKind::EraseWord: {
      std::size_t start = cursor;
      while (start > 0 && IsBlank(line[start - 1])) --start;
      while (start > 0 && !IsBlank(line[start - 1])) --start;
      Erase(editor, start, cursor);
      return false;
    }
    case KeyKind::Character: {
      line.insert(cursor, key.bytes);
      // A stray byte can join the bytes around it into one character: the cursor then
      // goes to the end of that character, never inside it.
      const std::size_t after = cursor + key.bytes.size();
      std::size_t at = 0;
      while (at < after) at += CharLength(line, at);
      cursor = at;
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
