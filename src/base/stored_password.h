// A character's stored password as memory keeps it: the text the save file and an
// upgrade's record hold (base/password.h), given back byte for byte. Each of thousands
// of characters holds one, and most are libsodium's Argon2id strings of one shape,
// "<parameters>$<salt>$<hash>" with a 16-byte salt and a 32-byte hash in unpadded
// base64: such a text is kept as its salt and hash decoded and the place of its
// parameters in a small table the process shares, within the record and with no heap
// of its own. Any other text (a plain password of an older file, a hash of another
// shape, or parameters past the table's room) is kept as it is, on the heap. A value is
// guarded as the character that holds it; the shared table has its own lock, so any
// thread may make and read values.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

namespace base {

class StoredPassword {
 public:
  StoredPassword() = default;  // the empty text
  explicit StoredPassword(std::string_view text);
  StoredPassword& operator=(std::string_view text) { return *this = StoredPassword(text); }
  StoredPassword(const StoredPassword& other);
  StoredPassword(StoredPassword&& other) noexcept;
  StoredPassword& operator=(const StoredPassword& other);
  StoredPassword& operator=(StoredPassword&& other) noexcept;
  ~StoredPassword();

  // The text it was made from, exactly.
  std::string Text() const;

  bool operator==(const StoredPassword& other) const { return Text() == other.Text(); }
  bool operator==(std::string_view text) const { return Text() == text; }

  // Whether it is held in the compact form (for tests of the memory it takes).
  bool Compact() const { return parameters_ != kWhole; }

 private:
  static constexpr std::size_t kSaltBytes = 16;
  static constexpr std::size_t kHashBytes = 32;
  static constexpr std::uint8_t kWhole = 0xFF;  // parameters_ of a text kept whole
  // One or the other, as parameters_ says: a union rather than a variant, whose own
  // index would cost the record 8 bytes more.
  union Form {
    std::array<unsigned char, kSaltBytes + kHashBytes> saltAndHash;
    std::string* whole = nullptr;  // owned; nullptr: the empty text
  };

  void Release();

  Form form_{};
  std::uint8_t parameters_ = kWhole;  // the place of its parameters in the shared table
};

}  // namespace base
