// Feeds arbitrary bytes, cut at arbitrary places, to the telnet reader and checks that
// it never holds more than its limit, passes on no line that holds a line end or a NUL,
// answers no more than it was sent, and reads the same lines and gives the same answers
// however the stream is cut. The codec around it, which also asks the client what it
// is, must do the same: the same lines, reports and answers however the stream is cut,
// each report at most once, a client name within its bound, and a bounded answer. The
// same bytes as game output must come out harmless.
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "connection/codec.h"
#include "telnet/telnet_codec.h"
#include "telnet/telnet_reader.h"
#include "telnet/telnet_writer.h"

namespace {

constexpr std::size_t kLimit = 64;

struct Result {
  std::vector<std::string> lines;
  std::string toClient;
  bool operator==(const Result&) const = default;
};

Result Read(std::string_view stream, std::size_t step) {
  telnet::TelnetReader reader(kLimit);
  Result out;
  for (std::size_t at = 0; at < stream.size(); at += step) {
    reader.Feed(
        stream.substr(at, step), out.toClient,
        [&](std::string_view line) {
          if (line.empty() || line.size() > kLimit + 1 ||
              line.find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos) {
            std::abort();
          }
          out.lines.emplace_back(line);
        },
        [&] { out.toClient += "<mssp>"; });
    if (reader.Buffered() > kLimit + 1) std::abort();
  }
  return out;
}

struct Recorder final : connection::CodecEvents {
  void Line(std::string_view text) override { log.append("L").append(text).push_back('\n'); }
  void TooLong() override { log.append("T\n"); }
  void Admitted() override { std::abort(); }  // telnet players play from the start
  void Done() override { std::abort(); }
  void Unit(std::size_t count) override { units += count; }
  const connection::Moment& Now() const override { return now; }
  std::string_view ClientIs(const base::Address&) override { return {}; }
  void ClientNamed(std::string_view name) override {
    if (name.empty() || name.size() > telnet::kMaxClientNameBytes || ++named > 1) std::abort();
    log.append("N").append(name).push_back('\n');
  }
  void ScreenReaderAsked() override {
    if (++screenReader > 1) std::abort();
    log.append("S\n");
  }
  std::string log;
  std::string toPeer;
  std::size_t units = 0;
  int named = 0;
  int screenReader = 0;
  connection::Moment now{std::chrono::steady_clock::time_point{} + std::chrono::hours(1), 1'700'000'000};
};

void ReadCodec(std::string_view stream, std::size_t step, Recorder& events) {
  static const telnet::TelnetOptions options = [] {
    telnet::TelnetOptions o;
    o.port = 4000;
    return o;
  }();
  telnet::TelnetCodec codec(options, connection::Endpoints{});
  codec.Start(events.toPeer);
  for (std::size_t at = 0; at < stream.size(); at += step) codec.Read(stream.substr(at, step), events, events.toPeer);
}

void CheckCodec(std::string_view stream, std::size_t step) {
  Recorder whole;
  Recorder cut;
  ReadCodec(stream, stream.size() + 1, whole);
  ReadCodec(stream, step, cut);
  if (whole.log != cut.log || whole.toPeer != cut.toPeer || whole.units != cut.units) std::abort();
  // What is asked once (the offers, the questions, one status at one moment) and at
  // most two bytes for every byte the client sent (a charset answer to a request).
  if (whole.toPeer.size() > 512 + 2 * stream.size()) std::abort();
}

void CheckWriter(std::string_view text) {
  std::string out;
  telnet::AppendGameText(out, text);
  for (std::size_t i = 0; i < out.size(); ++i) {
    const auto c = static_cast<unsigned char>(out[i]);
    if (c == '\n' && (i == 0 || out[i - 1] != '\r')) std::abort();
    if (c == '\r' && (i + 1 == out.size() || out[i + 1] != '\n')) std::abort();
    if ((c < 0x20 && c != '\t' && c != '\r' && c != '\n') || c == 0x7F) std::abort();
    if (c == 0xFF && (i + 1 == out.size() || static_cast<unsigned char>(out[++i]) != 0xFF))
      std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::size_t step = 1 + data[0] % 17;
  const std::string_view stream(reinterpret_cast<const char*>(data) + 1, size - 1);
  const Result whole = Read(stream, stream.size() + 1);
  if (Read(stream, step) != whole) std::abort();
  // Each answer (3 bytes, or the status mark) answers a request of 3 bytes.
  if (whole.toClient.size() > 3 * stream.size()) std::abort();
  CheckCodec(stream, step);
  CheckWriter(stream);
  return 0;
}
