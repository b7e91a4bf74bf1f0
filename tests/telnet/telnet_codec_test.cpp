#include "telnet/telnet_codec.h"

#include <gtest/gtest.h>

#include "codec_events.h"

#include <string>
#include <vector>

#include "telnet/telnet_protocol.h"

namespace {

using namespace std::string_literals;

struct Events final : TestCodecEvents {
  void Line(std::string_view text) override { lines.emplace_back(text); }
  void TooLong() override { lines.emplace_back("<too long>"); }
  void Admitted() override {}
  void Done() override {}
  void ClientNamed(std::string_view name) override { lines.push_back("<client " + std::string(name) + ">"); }
  void ScreenReaderAsked() override { lines.emplace_back("<screen reader>"); }
  std::vector<std::string> lines;
};

std::string Command(unsigned char verb, unsigned char option) {
  return {static_cast<char>(telnet::kIac), static_cast<char>(verb), static_cast<char>(option)};
}

std::string Sub(unsigned char option, const std::string& data) {
  return "\xFF\xFA"s + static_cast<char>(option) + data + "\xFF\xF0";
}

// What TinTin++ 2.02 with its screen reader option answers, byte for byte: the server
// learns its name and the wish once, and asks what it asks once.
TEST(TelnetCodec, AsksTheClientWhatItIsAndReportsWhatItLearnedOnce) {
  telnet::TelnetOptions options;
  telnet::TelnetCodec codec(options, connection::Endpoints{});
  Events events;
  std::string toPeer;
  codec.Start(toPeer);
  EXPECT_EQ(toPeer, Command(telnet::kWill, 70) + Command(telnet::kWill, 201) + Command(telnet::kDo, 24) +
                        Command(telnet::kWill, 42) + Command(telnet::kDo, 39));
  toPeer.clear();
  codec.Read("\xff\xfe\xc9\xff\xfb\x18\xff\xfd*\xff\xfb'", events, toPeer);
  const std::string send = Sub(24, "\x01");
  EXPECT_EQ(toPeer, send + Sub(42, "\x01;UTF-8") + Sub(39, "\x01\x03SCREEN_READER"));
  toPeer.clear();
  const std::string answers = Sub(24, "\0TINTIN++"s) + Sub(42, "\x02UTF-8") + Sub(24, "\0xterm"s) + "look\r\n" +
                              Sub(24, "\0MTTS 335"s) + Sub(24, "\0MTTS 335"s);
  codec.Read(answers, events, toPeer);
  EXPECT_EQ(toPeer, send + send);
  EXPECT_EQ(events.lines, (std::vector<std::string>{"<client TINTIN++>", "look", "<screen reader>"}));
  EXPECT_EQ(codec.ClientName(), "TINTIN++");
  EXPECT_EQ(events.units, 9u);  // each negotiation and subnegotiation costs its pace
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
