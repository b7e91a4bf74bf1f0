#include "telnet/telnet_reader.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "telnet/telnet_protocol.h"

namespace {

using namespace std::string_literals;
using Lines = std::vector<std::string>;

constexpr char kMsspMark[] = "<mssp>";

std::string Command(unsigned char verb, unsigned char option) {
  return {static_cast<char>(telnet::kIac), static_cast<char>(verb), static_cast<char>(option)};
}

class ReaderTest : public ::testing::Test {
 protected:
  void Feed(std::string_view bytes) {
    reader_.Feed(
        bytes, toClient_, [&](std::string_view line) { lines_.emplace_back(line); },
        [&] { toClient_ += kMsspMark; });
  }
  Lines TakeLines() { return std::exchange(lines_, {}); }
  std::string TakeToClient() { return std::exchange(toClient_, {}); }

  telnet::TelnetReader reader_{8};
  Lines lines_;
  std::string toClient_;
};

// Every kind of line end, the telnet commands a client may send, and option requests,
// with what the reader makes of them.
const std::string kIac = "\xff";
const std::string kStream =
    "look\r\n"s + "say hi\n" + "north\r\0"s + "west\r" + "\r\n\n" +         // every line end
    "a" + kIac + kIac + "b\r\n" +                                           // the byte 255
    "c" + kIac + "\xf1" + "d\n" +                                           // NOP
    Command(telnet::kDo, 1) + Command(telnet::kWill, 31) +                  // refused
    "e" + kIac + "\xfa\x18x" + kIac + kIac + "y" + kIac + "\xf0" + "f\n" +  // SB ... SE
    Command(telnet::kDont, 1) + Command(telnet::kWont, 31) +                // not answered
    Command(telnet::kDo, telnet::kOptionMssp) + "last\r\n";
const Lines kLines = {"look", "say hi", "north", "west", "a" + kIac + "b", "cd", "ef", "last"};
// Unoffered, MSSP is agreed to when the client asks first.
const std::string kAnswers = Command(telnet::kWont, 1) + Command(telnet::kDont, 31) +
                             Command(telnet::kWill, telnet::kOptionMssp) + kMsspMark;

TEST_F(ReaderTest, ReadsLinesAndAnswersOptionsInOneRead) {
  Feed(kStream);
  EXPECT_EQ(TakeLines(), kLines);
  EXPECT_EQ(TakeToClient(), kAnswers);
  EXPECT_EQ(reader_.Buffered(), 0u);
}

TEST_F(ReaderTest, EveryCutOfTheStreamGivesTheSameLinesAndAnswers) {
  for (std::size_t cut = 0; cut <= kStream.size(); ++cut) {
    telnet::TelnetReader fresh(8);
    std::swap(reader_, fresh);
    Feed(std::string_view(kStream).substr(0, cut));
    Feed(std::string_view(kStream).substr(cut));
    EXPECT_EQ(TakeLines(), kLines) << "cut at " << cut;
    EXPECT_EQ(TakeToClient(), kAnswers) << "cut at " << cut;
  }
  telnet::TelnetReader fresh(8);
  std::swap(reader_, fresh);
  for (const char byte : kStream) Feed(std::string_view(&byte, 1));
  EXPECT_EQ(TakeLines(), kLines);
  EXPECT_EQ(TakeToClient(), kAnswers);
}

TEST_F(ReaderTest, ALoneCrEndsTheLineAtOnceAndItsLfLater) {
  Feed("look\r");
  EXPECT_EQ(TakeLines(), Lines{"look"});
  Feed("\nsay\r");
  EXPECT_EQ(TakeLines(), Lines{"say"});
  Feed(std::string("\0"s));
  EXPECT_TRUE(TakeLines().empty());
}

TEST_F(ReaderTest, OffersMsspAndSendsItsStatusOncePerAgreement) {
  reader_.Start(toClient_);
  EXPECT_EQ(TakeToClient(), Command(telnet::kWill, telnet::kOptionMssp) +
                                Command(telnet::kWill, telnet::kOptionGmcp) +
                                Command(telnet::kDo, telnet::kOptionTtype) +
                                Command(telnet::kWill, telnet::kOptionCharset) +
                                Command(telnet::kDo, telnet::kOptionNewEnviron));
  const std::string doMssp = Command(telnet::kDo, telnet::kOptionMssp);
  const std::string dontMssp = Command(telnet::kDont, telnet::kOptionMssp);
  Feed(doMssp + doMssp);
  EXPECT_EQ(TakeToClient(), kMsspMark);
  Feed(dontMssp + dontMssp);
  EXPECT_EQ(TakeToClient(), Command(telnet::kWont, telnet::kOptionMssp));
  Feed(doMssp);
  EXPECT_EQ(TakeToClient(), Command(telnet::kWill, telnet::kOptionMssp) + kMsspMark);
  Feed(Command(telnet::kWill, telnet::kOptionMssp));  // the client's side stays off
  EXPECT_EQ(TakeToClient(), Command(telnet::kDont, telnet::kOptionMssp));
}

// --- Bad input -------------------------------------------------------------------

TEST_F(ReaderTest, ALineOverTheLimitComesOutOnceCutJustPastIt) {
  Feed("12345678\n");
  EXPECT_EQ(TakeLines(), Lines{"12345678"});
  Feed("123456789abc");
  EXPECT_LE(reader_.Buffered(), 9u);
  Feed("def" + kIac + kIac + "g\r\nlook\n");
  EXPECT_EQ(TakeLines(), (Lines{"123456789", "look"}));
}

TEST_F(ReaderTest, ASubnegotiationWithoutItsEndSwallowsNoCommandAfterIt) {
  Feed("\xff\xfa\x18junk"s + Command(telnet::kWill, 3) + "look\n");
  EXPECT_EQ(TakeLines(), Lines{"look"});
  EXPECT_EQ(TakeToClient(), Command(telnet::kDont, 3));
}

}  // namespace
