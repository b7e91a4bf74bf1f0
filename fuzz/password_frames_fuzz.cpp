// Feeds arbitrary bytes, cut at arbitrary places, to the password helper's frame reader
// (the server reads what its helper answers with it) and checks that it holds no more
// than one message's worth, gives the same messages however the stream is cut, and
// that each message it gives writes back to bytes it reads again as the same message.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "core/password_frames.h"

namespace {

constexpr std::size_t kMostHeld = 4 + 13 + 2 * core::kMaxPasswordText;

std::vector<core::PasswordMessage> Read(std::string_view stream, std::size_t step, bool& whole) {
  core::PasswordFrameReader reader;
  std::vector<core::PasswordMessage> out;
  whole = true;
  for (std::size_t at = 0; at < stream.size(); at += step) {
    whole = reader.Feed(stream.substr(at, step), out) && whole;
    if (reader.Buffered() > kMostHeld) std::abort();
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::size_t step = 1 + data[0] % 17;
  const std::string_view stream(reinterpret_cast<const char*>(data) + 1, size - 1);
  bool cutWhole = false;
  bool whole = false;
  const std::vector<core::PasswordMessage> cut = Read(stream, step, cutWhole);
  const std::vector<core::PasswordMessage> all = Read(stream, stream.size() + 1, whole);
  if (cut != all || cutWhole != whole) std::abort();
  for (const core::PasswordMessage& m : all) {
    if (m.first.size() > core::kMaxPasswordText || m.second.size() > core::kMaxPasswordText) std::abort();
    std::string bytes;
    core::AppendPasswordMessage(bytes, m);
    bool again = false;
    const std::vector<core::PasswordMessage> back = Read(bytes, bytes.size() + 1, again);
    if (!again || back.size() != 1 || back[0] != m) std::abort();
  }
  return 0;
}
