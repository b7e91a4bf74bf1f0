#include "base/utf8.h"

#include <string>

namespace base::utf8 {

namespace {

struct Range {
  char32_t first;
  char32_t last;
};

// Characters that terminals draw two columns wide (East Asian wide and fullwidth
// forms, and the emoji blocks). Close enough for laying text out in rows.
constexpr Range kWide[] = {
    {0x1100, 0x115F},   {0x2E80, 0x303E},   {0x3041, 0x33FF},   {0x3400, 0x4DBF},
    {0x4E00, 0x9FFF},   {0xA000, 0xA4CF},   {0xAC00, 0xD7A3},   {0xF900, 0xFAFF},
    {0xFE30, 0xFE4F},   {0xFF00, 0xFF60},   {0xFFE0, 0xFFE6},   {0x1F300, 0x1F64F},
    {0x1F900, 0x1F9FF}, {0x20000, 0x2FFFD}, {0x30000, 0x3FFFD},
};

// Combining marks and zero-width characters, drawn in no column of their own.
constexpr Range kZeroWidth[] = {
    {0x0300, 0x036F}, {0x200B, 0x200F}, {0x20D0, 0x20FF}, {0xFE00, 0xFE0F}, {0xFE20, 0xFE2F},
};

template <std::size_t N>
bool InRanges(const Range (&ranges)[N], char32_t code) {
  for (const Range& range : ranges) {
    if (code >= range.first && code <= range.last) return true;
  }
  return false;
}

}  // namespace

int SequenceLength(unsigned char lead) {
  if (lead < 0x80) return 1;
  if (lead >= 0xC2 && lead <= 0xDF) return 2;
  if (lead >= 0xE0 && lead <= 0xEF) return 3;
  if (lead >= 0xF0 && lead <= 0xF4) return 4;
  return 0;
}

// The bytes from text[at] on that can begin one character: a whole well-formed
// character (`whole` set), or the longest start of one that the end of `text` or a byte
// that does not belong cuts short (`whole` cleared; at least one byte). The second
// byte's range depends on the lead byte, which rules out overlong forms, surrogates and
// values past U+10FFFF; every later byte is any continuation byte.
std::size_t Piece(std::string_view text, std::size_t at, bool& whole) {
  const auto lead = static_cast<unsigned char>(text[at]);
  const auto length = static_cast<std::size_t>(SequenceLength(lead));
  whole = length != 0;
  if (length <= 1) return 1;
  unsigned char low = 0x80;
  unsigned char high = 0xBF;
  if (lead == 0xE0) low = 0xA0;
  if (lead == 0xED) high = 0x9F;
  if (lead == 0xF0) low = 0x90;
  if (lead == 0xF4) high = 0x8F;
  std::size_t i = 1;
  for (; i < length && at + i < text.size(); ++i) {
    const auto next = static_cast<unsigned char>(text[at + i]);
    if (next < (i == 1 ? low : 0x80) || next > (i == 1 ? high : 0xBF)) break;
  }
  whole = i == length;
  return i;
}

std::size_t WellFormedLength(std::string_view text, std::size_t at) {
  bool whole = false;
  const std::size_t length = Piece(text, at, whole);
  return whole ? length : 0;
}

unsigned char C1Control(std::string_view ch) {
  const auto lead = static_cast<unsigned char>(ch[0]);
  if (ch.size() == 1) return lead >= 0x80 && lead <= 0x9F ? lead : 0;
  // U+0080 to U+009F are C2 80 to C2 9F.
  const auto second = static_cast<unsigned char>(ch[1]);
  return ch.size() == 2 && lead == 0xC2 && second <= 0x9F ? second : 0;
}

char32_t Decode(std::string_view ch) {
  const auto lead = static_cast<unsigned char>(ch[0]);
  if (ch.size() == 1) return lead;
  char32_t code = lead & (0x7F >> ch.size());  // the bits the lead byte carries
  for (std::size_t i = 1; i < ch.size(); ++i) {
    code = (code << 6) | (static_cast<unsigned char>(ch[i]) & 0x3F);
  }
  return code;
}

std::vector<Character> Characters(std::string_view text) {
  std::vector<Character> all;
  all.reserve(text.size());
  for (std::size_t at = 0; at < text.size();) {
    const std::size_t wellFormed = WellFormedLength(text, at);
    const std::size_t length = wellFormed == 0 ? 1 : wellFormed;
    const std::string_view ch = text.substr(at, length);
    all.push_back({at, length, wellFormed == 0 ? -1 : static_cast<std::int32_t>(Decode(ch)), C1Control(ch)});
    at += length;
  }
  return all;
}

bool IsValid(std::string_view bytes) {
  Check check;
  return check.Feed(bytes) && check.Whole();
}

std::string Repair(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  for (std::size_t at = 0; at < bytes.size();) {
    bool whole = false;
    const std::size_t n = Piece(bytes, at, whole);
    if (whole) {
      out.append(bytes.substr(at, n));
    } else {
      out.append("\xEF\xBF\xBD");  // U+FFFD for the whole broken piece
    }
    at += n;
  }
  return out;
}

bool Check::Feed(std::string_view bytes) {
  if (broken_) return false;
  std::string joined;
  if (!held_.empty()) {
    joined = held_;
    joined.append(bytes);
    bytes = joined;
    held_.clear();
  }
  for (std::size_t at = 0; at < bytes.size();) {
    bool whole = false;
    const std::size_t n = Piece(bytes, at, whole);
    if (!whole) {
      // Cut by the end of this piece, it may go on in the next; cut by a byte, it is broken.
      if (at + n == bytes.size() && SequenceLength(static_cast<unsigned char>(bytes[at])) > 1) {
        held_ = std::string(bytes.substr(at));
        return true;
      }
      broken_ = true;
      return false;
    }
    at += n;
  }
  return true;
}

int ColumnWidth(char32_t code) {
  if (InRanges(kZeroWidth, code)) return 0;
  if (InRanges(kWide, code)) return 2;
  return 1;
}

}  // namespace base::utf8
