// Feeds arbitrary bytes, cut at arbitrary places, to the frame splitter and checks
// that it never holds more than its limit and gives the same frames however the
// stream is cut.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "net/frame.h"

namespace {

constexpr std::size_t kLimit = 64;

std::vector<std::string> Split(std::string_view stream, std::size_t step) {
  net::FrameSplitter splitter(kLimit);
  std::vector<std::string> out;
  for (std::size_t at = 0; at < stream.size(); at += step) {
    splitter.Feed(
        stream.substr(at, step),
        [&](std::string_view text) {
          if (text.size() > kLimit || text.find('\0') != std::string_view::npos) std::abort();
          out.emplace_back(text);
        },
        [&] { out.emplace_back("\x01too long"); });
    if (splitter.Buffered() > kLimit) std::abort();
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::size_t step = 1 + data[0] % 17;
  const std::string_view stream(reinterpret_cast<const char*>(data) + 1, size - 1);
  if (Split(stream, step) != Split(stream, stream.size() + 1)) std::abort();
  return 0;
}
