// UTF-8 as RFC 3629 defines it, the one place the program decides it: which bytes start
// a character and how many follow, the well-formed characters, checking and repairing
// text (whole or in pieces), and how many terminal columns a character takes. Pure
// functions and values over bytes; any thread may call them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace base::utf8 {

// Bytes of the sequence that `lead` starts: 1 for ASCII (below 0x80), 2 for C2 to DF,
// 3 for E0 to EF, 4 for F0 to F4, and 0 for a byte that starts no character (a
// continuation byte, C0, C1, F5 to FF).
int SequenceLength(unsigned char lead);

// True for the bytes that follow a lead byte, 0x80 to 0xBF.
inline bool IsContinuation(unsigned char byte) {
  return (byte & 0xC0) == 0x80;
}

// Bytes of the well-formed character that starts at text[at], or 0 when none does: a
// byte that starts no character, a sequence cut short by the end of `text` or by a
// byte that does not belong, an overlong form, a surrogate (U+D800 to U+DFFF) or a
// code point past U+10FFFF. REQUIRES: at < text.size().
std::size_t WellFormedLength(std::string_view text, std::size_t at);

// Bytes of the character at text[at] as the program cuts text: the well-formed
// character that starts there, or else that one byte, so every byte of any string
// belongs to exactly one character. REQUIRES: at < text.size().
inline std::size_t CharLength(std::string_view text, std::size_t at) {
  const std::size_t length = WellFormedLength(text, at);
  return length == 0 ? 1 : length;
}

// The C1 control (0x80 to 0x9F) that one character, as CharLength cuts it, stands
// for: a lone byte 0x80 to 0x9F (an 8-bit terminal acts on it; 0x9B opens an escape
// sequence) or the character U+0080 to U+009F. 0 for any other character.
// REQUIRES: !ch.empty().
unsigned char C1Control(std::string_view ch);

// The code point of one well-formed character.
// REQUIRES: !ch.empty() and WellFormedLength(ch, 0) == ch.size().
char32_t Decode(std::string_view ch);

// One character of a text as CharLength cuts it: where it starts, its bytes, its code
// point (-1 for a byte that is no character) and the C1 control it stands for
// (C1Control; 0 for none).
struct Character {
  std::size_t at = 0;
  std::size_t length = 0;
  std::int32_t code = -1;
  unsigned char c1 = 0;
};

// Every character of `text`, in order, read once.
std::vector<Character> Characters(std::string_view text);

// Whether `bytes` is well-formed UTF-8 as a whole (no character cut at the end).
bool IsValid(std::string_view bytes);

// `bytes` as valid UTF-8: each maximal piece that is not part of a well-formed
// character (a stray continuation byte, a cut sequence, an overlong form, a surrogate,
// a value past U+10FFFF) becomes U+FFFD. Valid text comes back unchanged.
std::string Repair(std::string_view bytes);

// Checks text that arrives in pieces, such as the frames of one WebSocket message, for
// well-formed UTF-8; a character may be cut between two pieces. A value per text.
class Check {
 public:
  // Takes the next piece. Returns false once a byte cannot belong to a well-formed
  // character (here or in an earlier piece), and from then on.
  bool Feed(std::string_view bytes);
  // True when every byte so far was good and the last character is whole.
  bool Whole() const { return held_.empty() && !broken_; }
  // The start of a character cut at the end of the last piece, at most 3 bytes: a new
  // Check fed these bytes stands where this one does, unless this one is broken.
  std::string_view Held() const { return held_; }

 private:
  std::string held_;  // the start of a character cut at the end of the last piece
  bool broken_ = false;
};

// Columns a terminal gives the code point: 0 for combining marks and zero-width
// characters, 2 for East Asian wide and fullwidth characters and the emoji blocks, 1
// for everything else. Control characters are left to the caller (they count 1 here).
int ColumnWidth(char32_t code);

}  // namespace base::utf8
