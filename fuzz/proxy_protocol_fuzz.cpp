// Feeds arbitrary bytes, cut at arbitrary places, to the PROXY header reader and checks
// that it never takes more than it was fed, takes everything while it is unfinished,
// settles the same way with the same count however the stream is cut, and is done
// with a header's last byte rather than waiting for the next.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string_view>

#include "net/proxy_protocol.h"

namespace {

using State = net::ProxyHeaderReader::State;

struct Outcome {
  State state = State::kReading;
  std::optional<net::ProxySource> source;
  std::string_view reason;
  std::size_t taken = 0;
  bool operator==(const Outcome&) const = default;
};

Outcome Read(std::string_view stream, std::size_t step) {
  net::ProxyHeaderReader reader;
  Outcome out;
  for (std::size_t at = 0; at < stream.size() && reader.state() == State::kReading; at += step) {
    const std::string_view piece = stream.substr(at, step);
    const std::size_t taken = reader.Feed(piece);
    if (taken > piece.size() || (reader.state() == State::kReading && taken != piece.size()))
      std::abort();
    out.taken += taken;
  }
  if (reader.state() != State::kReading && reader.Feed(stream) != 0) std::abort();
  out.state = reader.state();
  out.source = reader.source();
  out.reason = reader.reason();
  if (out.taken > stream.size() || out.reason.empty() != (out.state != State::kRefused) ||
      (out.source && out.state != State::kDone) || out.taken > net::kProxyV2MaxBytes) {
    std::abort();
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::size_t step = 1 + data[0] % 17;
  const std::string_view stream(reinterpret_cast<const char*>(data) + 1, size - 1);
  const Outcome whole = Read(stream, stream.size() + 1);
  if (Read(stream, step) != whole) std::abort();
  if (whole.state == State::kDone &&
      Read(stream.substr(0, whole.taken), stream.size() + 1) != whole)
    std::abort();
  return 0;
}
