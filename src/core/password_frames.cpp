#include "core/password_frames.h"

#include <algorithm>
#include <utility>

namespace core {

namespace {

constexpr std::size_t kHeaderBytes = 4;                    // the length before a message
constexpr std::size_t kFixedBytes = 1 + 4 + 4 + 4;         // kind, id, the two texts' lengths
constexpr std::size_t kMaxBody = kFixedBytes + 2 * kMaxPasswordText;

void AppendNumber(std::string& out, std::uint32_t n) {
  for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<char>((n >> shift) & 0xff));
}

std::uint32_t NumberAt(std::string_view bytes, std::size_t at) {
  std::uint32_t n = 0;
  for (std::size_t i = 0; i < 4; ++i) n = (n << 8) | static_cast<unsigned char>(bytes[at + i]);
  return n;
}

bool KnownKind(char kind) {
  switch (static_cast<PasswordKind>(kind)) {
    case PasswordKind::Hash:
    case PasswordKind::Check:
    case PasswordKind::CheckDummy:
    case PasswordKind::Hashed:
    case PasswordKind::Matches:
    case PasswordKind::Differs:
      return true;
  }
  return false;
}

// The message whose body (what follows its length) is `body`; false when it is none.
bool Parse(std::string_view body, PasswordMessage& message) {
  if (body.size() < kFixedBytes || !KnownKind(body[0])) return false;
  const std::size_t firstSize = NumberAt(body, 5);
  if (firstSize > kMaxPasswordText || firstSize > body.size() - kFixedBytes) return false;
  const std::size_t secondSize = NumberAt(body, 9 + firstSize);
  if (secondSize != body.size() - kFixedBytes - firstSize) return false;
  message.kind = static_cast<PasswordKind>(body[0]);
  message.id = NumberAt(body, 1);
  message.first.assign(body.substr(9, firstSize));
  message.second.assign(body.substr(kFixedBytes + firstSize));
  return true;
}

}  // namespace

void AppendPasswordMessage(std::string& out, const PasswordMessage& message) {
  AppendNumber(out, static_cast<std::uint32_t>(kFixedBytes + message.first.size() + message.second.size()));
  out.push_back(static_cast<char>(message.kind));
  AppendNumber(out, message.id);
  AppendNumber(out, static_cast<std::uint32_t>(message.first.size()));
  out.append(message.first);
  AppendNumber(out, static_cast<std::uint32_t>(message.second.size()));
  out.append(message.second);
}

bool PasswordFrameReader::Feed(std::string_view bytes, std::vector<PasswordMessage>& out) {
  while (!broken_ && !bytes.empty()) {
    // What is still missing of the length, else of the message it announces.
    std::size_t wanted = kHeaderBytes;
    if (partial_.size() >= kHeaderBytes) {
      const std::size_t body = NumberAt(partial_, 0);
      if (body < kFixedBytes || body > kMaxBody) {
        broken_ = true;
        break;
      }
      wanted += body;
    }
    const std::size_t take = std::min(wanted - partial_.size(), bytes.size());
    partial_.append(bytes.substr(0, take));
    bytes.remove_prefix(take);
    if (partial_.size() <= kHeaderBytes || partial_.size() < wanted) continue;
    PasswordMessage message;
    if (!Parse(std::string_view(partial_).substr(kHeaderBytes), message)) {
      broken_ = true;
      break;
    }
    out.push_back(std::move(message));
    partial_.clear();
  }
  if (broken_) std::string().swap(partial_);
  return !broken_;
}

}  // namespace core
