// Carries codecs across an upgrade on arbitrary bytes, two ways. A stream read up to a
// cut and then handed to a new codec through its record must read on exactly as the
// codec that was never handed over. And arbitrary bytes given as a record must be
// refused, or make a codec that reads on without fault and whose own record makes a
// codec that does the same.
//
// Input: a byte choosing the codec (bit 7: the second way), two bytes of a length (the
// cut, or the record's size), then the stream, or the record and the bytes after it.
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "base/fields.h"
#include "codecs/console_codec.h"
#include "codecs/frame_codec.h"
#include "telnet/telnet_codec.h"
#include "web/metrics_codec.h"
#include "web/web_codec.h"

namespace {

struct Recorder final : connection::CodecEvents {
  void Line(std::string_view text) override { log.append("L").append(text).push_back('\n'); }
  void TooLong() override { log.append("T\n"); }
  void Admitted() override { log.append("A\n"); }
  void Done() override { log.append("F\n"); }
  void Unit(std::size_t count) override {
    log.append("U").append(std::to_string(count)).push_back('\n');
  }
  const connection::Moment& Now() const override { return now; }
  std::string_view ClientIs(const base::Address&) override { return {}; }
  void ClientNamed(std::string_view name) override { log.append("N").append(name).push_back('\n'); }
  void ScreenReaderAsked() override { log.append("S\n"); }

  std::string log;
  connection::Moment now{std::chrono::steady_clock::time_point{} + std::chrono::hours(1),
                         1'700'000'000};
};

struct Outcome {
  std::string log;
  std::string toPeer;
  bool operator==(const Outcome&) const = default;
};

const std::vector<connection::CodecMaker>& Makers() {
  static const telnet::TelnetOptions telnetOptions = [] {
    telnet::TelnetOptions options;
    options.port = 4000;
    options.webPort = 8080;
    return options;
  }();
  static const std::vector<connection::CodecMaker> makers = {
      [](const connection::Endpoints&) { return std::make_unique<codecs::FrameCodec>(); },
      [](const connection::Endpoints&) { return std::make_unique<codecs::ConsoleCodec>(); },
      [](const connection::Endpoints& endpoints) {
        return std::make_unique<telnet::TelnetCodec>(telnetOptions, endpoints);
      },
      web::WebCodecMaker({}),
      web::MetricsCodecMaker([](web::MetricsFormat) { return std::string("players 3\n"); }),
  };
  return makers;
}

const connection::Endpoints kEndpoints{base::Address::V4(0x7F000001), 4000, {}, false};

// As the layer reads: a codec holding input is read again with nothing new.
void Read(connection::Codec& codec, std::string_view bytes, Recorder& events, std::string& toPeer) {
  codec.Read(bytes, events, toPeer);
  for (int turns = 0; codec.Pending(); ++turns) {
    if (turns > 100000) std::abort();  // a codec that never works through what it holds
    codec.Read({}, events, toPeer);
  }
}

// The rest of a connection's life: what the peer sends, a frame of the game, data if
// wanted, and the server's close.
void Finish(connection::Codec& codec, std::string_view bytes, Recorder& events, Outcome& out) {
  Read(codec, bytes, events, out.toPeer);
  codec.Write("the game says", out.toPeer);
  if (codec.WantsData("Room.Info {}")) codec.WriteData("Room.Info {}", out.toPeer);
  codec.Goodbye(out.toPeer);
  out.log += events.log;
}

std::string Save(const connection::Codec& codec) {
  base::FieldWriter out;
  codec.SaveState(out);
  return out.Take();
}

std::unique_ptr<connection::Codec> Restore(const connection::CodecMaker& make,
                                           std::string_view record) {
  std::unique_ptr<connection::Codec> codec = make(kEndpoints);
  base::FieldReader in(record);
  if (!codec->RestoreState(in) || !in.Good()) return nullptr;
  return codec;
}

// Reads `stream` up to `cut`, hands the codec on when `carry`, and reads the rest.
Outcome ReadCut(const connection::CodecMaker& make, std::string_view stream, std::size_t cut,
                bool carry) {
  std::unique_ptr<connection::Codec> codec = make(kEndpoints);
  Recorder events;
  Outcome out;
  codec->Start(out.toPeer);
  codec->Read(stream.substr(0, cut), events, out.toPeer);
  if (carry) {
    codec = Restore(make, Save(*codec));
    if (codec == nullptr) std::abort();  // a codec's own record is always taken back
  }
  Finish(*codec, stream.substr(cut), events, out);
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 3) return 0;
  const connection::CodecMaker& make = Makers()[(data[0] & 0x7F) % Makers().size()];
  const std::string_view input(reinterpret_cast<const char*>(data) + 3, size - 3);
  const std::size_t length = std::min<std::size_t>(input.size(), data[1] | data[2] << 8);
  if ((data[0] & 0x80) != 0) {
    if (ReadCut(make, input, length, true) != ReadCut(make, input, length, false)) std::abort();
    return 0;
  }
  const std::string_view record = input.substr(0, length);
  const std::string_view rest = input.substr(length);
  std::unique_ptr<connection::Codec> first = Restore(make, record);
  if (first == nullptr) return 0;
  const std::string saved = Save(*first);
  std::unique_ptr<connection::Codec> second = Restore(make, saved);
  if (second == nullptr || Save(*second) != saved) std::abort();
  Recorder firstEvents;
  Recorder secondEvents;
  Outcome firstOut;
  Outcome secondOut;
  Finish(*first, rest, firstEvents, firstOut);
  Finish(*second, rest, secondEvents, secondOut);
  if (firstOut != secondOut) std::abort();
  return 0;
}
