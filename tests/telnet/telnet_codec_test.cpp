#include "telnet/telnet_codec.h"

#include <gtest/gtest.h>

#include "codec_events.h"

#include <string>
#include <vector>

#include "telnet/telnet_protocol.h"

namespace {

struct Events final : TestCodecEvents {
  void Line(std::string_view text) override { lines.emplace_back(text); }
  void TooLong() override { lines.emplace_back("<too long>"); }
  void Admitted() override {}
  void Finished() override {}
  std::vector<std::string> lines;
};

std::string Command(unsigned char verb, unsigned char option) {
  return {static_cast<char>(telnet::kIac), static_cast<char>(verb), static_cast<char>(option)};
}

TEST(TelnetCodec, MsspFlappingDrawsOneStatusASecondAndLinesKeepTheirLimit) {
  telnet::TelnetOptions options;
  options.port = 4000;
  telnet::TelnetCodec codec(options, connection::Endpoints{});
  Events events;
  std::string toPeer;
  codec.Start(toPeer);
  std::string flaps;
  for (int i = 0; i < 20; ++i) {
    flaps += Command(telnet::kDo, telnet::kOptionMssp) + Command(telnet::kDont, telnet::kOptionMssp);
  }
  codec.Read(flaps + "look\r\n" + std::string(5000, 'a') + "\r\n", events, toPeer);
  std::size_t statuses = 0;
  for (std::size_t at = 0; (at = toPeer.find("PLAYERS", at)) != std::string::npos; ++at) ++statuses;
  EXPECT_EQ(statuses, 1u);
  EXPECT_EQ(events.lines, (std::vector<std::string>{"look", "<too long>"}));
}

}  // namespace
