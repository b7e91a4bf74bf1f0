#include "client/display.h"

namespace client {

namespace {

constexpr char kReplacement[] = "\xEF\xBF\xBD";  // U+FFFD

bool IsContinuation(unsigned char byte) { return (byte & 0xC0) == 0x80; }

// The code point of a well-formed character of two to four bytes.
char32_t CodePoint(std::string_view ch) {
  const auto lead = static_cast<unsigned char>(ch[0]);
  char32_t value = ch.size() == 2 ? (lead & 0x1F) : ch.size() == 3 ? (lead & 0x0F) : (lead & 0x07);
  for (std::size_t i = 1; i < ch.size(); ++i) {
    value = (value << 6) | (static_cast<unsigned char>(ch[i]) & 0x3F);
  }
  return value;
}

struct Range {
  char32_t first;
  char32_t last;
};

// Characters that terminals draw two columns wide (East Asian wide and fullwidth
// forms, and the emoji blocks). Close enough for row counting and the input row.
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
bool InRanges(const Range (&ranges)[N], char32_t value) {
  for (const Range& range : ranges) {
    if (value >= range.first && value <= range.last) return true;
  }
  return false;
}

bool IsControlByte(std::string_view ch) {
  const auto byte = static_cast<unsigned char>(ch[0]);
  return ch.size() == 1 && (byte < 0x20 || byte == 0x7F);
}

// True for a lone byte that is no character of its own, and for the C1 controls.
bool ShownAsReplacement(std::string_view ch) {
  if (ch.size() == 1) return static_cast<unsigned char>(ch[0]) >= 0x80;
  return ch.size() == 2 && CodePoint(ch) < 0xA0;
}

}  // namespace

std::size_t CharLength(std::string_view text, std::size_t at) {
  const auto lead = static_cast<unsigned char>(text[at]);
  std::size_t length = 0;
  unsigned char low = 0x80;  // allowed range of the second byte
  unsigned char high = 0xBF;
  if (lead < 0x80) return 1;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;   // overlong
    if (lead == 0xED) high = 0x9F;  // surrogates
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;   // overlong
    if (lead == 0xF4) high = 0x8F;  // past U+10FFFF
  } else {
    return 1;
  }
  if (at + length > text.size()) return 1;
  const auto second = static_cast<unsigned char>(text[at + 1]);
  if (second < low || second > high) return 1;
  for (std::size_t i = 2; i < length; ++i) {
    if (!IsContinuation(static_cast<unsigned char>(text[at + i]))) return 1;
  }
  return length;
}

std::size_t PreviousCharStart(std::string_view text, std::size_t at) {
  // A well-formed character holds only continuation bytes after its lead, so the lead
  // is at most three bytes back; anything else is a one-byte character.
  for (std::size_t back = 1; back <= 4 && back <= at; ++back) {
    const std::size_t start = at - back;
    if (IsContinuation(static_cast<unsigned char>(text[start]))) continue;
    return back > 1 && CharLength(text, start) == back ? start : at - 1;
  }
  return at - 1;
}

std::size_t CharStartAtOrBefore(std::string_view text, std::size_t at) {
  if (at >= text.size() || !IsContinuation(static_cast<unsigned char>(text[at]))) return at;
  for (std::size_t back = 1; back <= 3 && back <= at; ++back) {
    const std::size_t start = at - back;
    if (IsContinuation(static_cast<unsigned char>(text[start]))) continue;
    return CharLength(text, start) > back ? start : at;
  }
  return at;
}

int ShownWidth(std::string_view ch) {
  if (IsControlByte(ch)) return 2;
  if (ch.size() == 1 || ShownAsReplacement(ch)) return 1;
  const char32_t value = CodePoint(ch);
  if (InRanges(kZeroWidth, value)) return 0;
  if (InRanges(kWide, value)) return 2;
  return 1;
}

void AppendShown(std::string& out, std::string_view ch) {
  if (IsControlByte(ch)) {
    const auto byte = static_cast<unsigned char>(ch[0]);
    out.push_back('^');
    out.push_back(byte == 0x7F ? '?' : static_cast<char>(byte + 0x40));
  } else if (ShownAsReplacement(ch)) {
    out.append(kReplacement);
  } else {
    out.append(ch);
  }
}

int ShownWidthOf(std::string_view text) {
  int width = 0;
  for (std::size_t at = 0; at < text.size();) {
    const std::size_t length = CharLength(text, at);
    width += ShownWidth(text.substr(at, length));
    at += length;
  }
  return width;
}

}  // namespace client
