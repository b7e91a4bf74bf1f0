// The messages between the server and its password helper (core/password_hasher.h), in
// both directions, written down once. A message is a 4-byte big-endian length of what
// follows, then its kind (one byte), its request's id (4 bytes, big-endian) and two
// texts, each a 4-byte big-endian length and its bytes. Bytes in, messages out: no
// I/O. A reader belongs to one thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace core {

enum class PasswordKind : char {
  // Asked of the helper.
  Hash = 'H',        // the Argon2id string of `first`, with a fresh salt
  Check = 'C',       // whether `second` is the password of the hash `first`
  CheckDummy = 'D',  // `first` checked against a hash of no player's password
  // Its answers, with the id of the request.
  Hashed = 'h',   // `first` is the hash; empty when it could not be made (no memory)
  Matches = 'y',  // the check found the password
  Differs = 'n',  // the check did not
};

// The longest text a message may hold: more than any line the server accepts, and
// than any stored password.
inline constexpr std::size_t kMaxPasswordText = 64 * 1024;

struct PasswordMessage {
  PasswordKind kind = PasswordKind::Hash;
  std::uint32_t id = 0;
  std::string first;
  std::string second;

  bool operator==(const PasswordMessage&) const = default;
};

// Appends the bytes of `message` to `out`. REQUIRES: both texts at most
// kMaxPasswordText bytes.
void AppendPasswordMessage(std::string& out, const PasswordMessage& message);

// Splits a byte stream into messages. Bytes of an unfinished message are kept until
// the rest arrives; never more than one message's worth (the length is checked first).
class PasswordFrameReader {
 public:
  // Appends every message that `bytes` finish to `out`, in order. Returns false, and
  // from then on takes nothing, when the stream holds what no writer sends: a length
  // beyond the bounds, an unknown kind, or texts that do not fill their message.
  bool Feed(std::string_view bytes, std::vector<PasswordMessage>& out);

  // Bytes of the unfinished message held now.
  std::size_t Buffered() const { return partial_.size(); }

 private:
  std::string partial_;
  bool broken_ = false;
};

}  // namespace core
