#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "commands/allowances.h"
#include "world_fixture.h"

namespace {

using Heard = std::map<core::Socket, std::string>;

class SpeechTest : public WorldTest {
 protected:
  // Puts a listener in play on every cell around (x, y) that is on the map, the
  // diagonals and the cells two steps away included, on handles from 100 up; returns
  // the handle of each by cell.
  std::map<std::pair<int, int>, core::Socket> Surround(int x, int y) {
    std::map<std::pair<int, int>, core::Socket> at;
    core::Socket next = 100;
    for (int dy = -2; dy <= 2; ++dy) {
      for (int dx = -2; dx <= 2; ++dx) {
        if ((dx == 0 && dy == 0) || !world::OnMap(x + dx, y + dy)) continue;
        Place(next, std::string("L").append(std::to_string(next)), x + dx, y + dy);
        at[{x + dx, y + dy}] = next++;
      }
    }
    return at;
  }

  // Who heard `line` from a speaker standing at (x, y) with everybody around it.
  std::vector<std::pair<int, int>> CellsReached(const std::string& command, int x, int y) {
    Reset();
    Place(1, "Ash", x, y);
    const auto around = Surround(x, y);
    Type(1, command + " hi");
    const Heard heard = Frames();
    EXPECT_EQ(heard.at(1), "Ash: hi ");
    std::vector<std::pair<int, int>> cells;
    for (const auto& [cell, socket] : around) {
      const auto it = heard.find(socket);
      if (it == heard.end()) continue;
      EXPECT_EQ(it->second, "Ash: hi ");
      cells.push_back(cell);
    }
    EXPECT_EQ(heard.size(), cells.size() + 1);
    return cells;
  }

  void Store(const std::string& name, int x, int y) {
    auto c = std::make_unique<world::Character>();
    c->name = name;
    c->x = x;
    c->y = y;
    Characters().Store(std::move(c));
  }
};

using Cells = std::vector<std::pair<int, int>>;

TEST_F(SpeechTest, SayReachesTheSpeakersCellOnly) {
  EXPECT_EQ(CellsReached("say", 5, 5), Cells{});
  EXPECT_EQ(CellsReached("say", 0, 0), Cells{});
  Reset();
  Place(1, "Ash", 5, 5);
  Place(7, "Birch", 5, 5);
  Place(3, "Cedar", 5, 5);
  Store("Dusk", 5, 5);
  Type(7, "say hello there");
  EXPECT_EQ(
      Frames(),
      (Heard{{1, "Birch: hello there "}, {3, "Birch: hello there "}, {7, "Birch: hello there "}}));
}

TEST_F(SpeechTest, YowlReachesTheNearbyCellsAndNeverADiagonal) {
  EXPECT_EQ(CellsReached("yowl", 5, 5), (Cells{{4, 5}, {5, 4}, {5, 6}, {6, 5}}));
  EXPECT_EQ(CellsReached("yowl", 0, 0), (Cells{{0, 1}, {1, 0}}));
  EXPECT_EQ(CellsReached("yowl", 29, 29), (Cells{{28, 29}, {29, 28}}));
  EXPECT_EQ(CellsReached("yowl", 0, 12), (Cells{{0, 11}, {0, 13}, {1, 12}}));
  EXPECT_EQ(CellsReached("yowl", 17, 29), (Cells{{16, 29}, {17, 28}, {18, 29}}));
}

TEST_F(SpeechTest, SpokenWordsEachKeepTheirBlank) {
  Place(1, "Ash", 5, 5);
  Type(1, "say  hi");
  EXPECT_EQ(Lines(1), std::vector<std::string>{"Ash:  hi "});
  Type(1, "yowl a  b ");
  EXPECT_EQ(Lines(1), std::vector<std::string>{"Ash: a  b "});
}

TEST_F(SpeechTest, WhisperEchoesThenReachesTheListener) {
  Place(1, "Ash", 5, 5);
  Place(2, "Birch", 5, 5);
  Place(3, "Cedar", 5, 5);
  Type(1, "whisper Birch meet me  later");
  EXPECT_EQ(Frames(), (Heard{{1, "Ash: meet me  later "}, {2, "Ash: meet me  later "}}));
  Type(1, "whisper Birch");
  EXPECT_EQ(Frames(), (Heard{{1, "Ash: "}, {2, "Ash: "}}));
  Type(1, "whisper Ash to myself");
  EXPECT_EQ(Frames(), (Heard{{1, "Ash: to myself \nAsh: to myself "}}));
}

TEST_F(SpeechTest, WhisperToSomeoneElsewhereOrNotInPlay) {
  Place(1, "Ash", 5, 5);
  Place(2, "Birch", 6, 5);
  Store("Cedar", 5, 5);
  auto kit = std::make_unique<world::Character>();
  kit->name = "Dusk";
  kit->x = -1;
  kit->y = -1;
  Characters().ParkKit(3, std::move(kit));
  Type(1, "whisper Birch psst");
  EXPECT_EQ(Frames(), (Heard{{1, "Too far away."}}));
  // Stored, a kit, another letter case: nobody in play hears it, and no echo says
  // otherwise.
  for (const char* line : {"whisper Cedar psst", "whisper Dusk psst", "whisper birch psst",
                           "whisper Nobody"}) {
    Type(1, line);
    EXPECT_EQ(Frames(), (Heard{{1, "Invalid character."}})) << line;
  }
}

TEST_F(SpeechTest, FormatLinesWithoutWords) {
  Place(1, "Ash", 5, 5);
  Place(2, "Birch", 5, 5);
  const std::pair<const char*, const char*> cases[] = {
      {"say", "format: say message"},
      {"say ", "format: say message"},
      {"yowl", "format: yowl message"},
      {"whisper", "format: whisper character message"},
  };
  for (const auto& [line, reply] : cases) {
    Type(1, line);
    EXPECT_EQ(Frames(), (Heard{{1, reply}})) << line;
  }
}

// Each listener hears the form of its own mode; the command works before play too.
TEST_F(SpeechTest, ScreenReaderModeNamesTheKindWithoutTheTrailingBlank) {
  Type(1, "screenreader");
  EXPECT_EQ(Frames(), (Heard{{1, "Screen reader mode on."}}));
  Place(1, "Ash", 5, 5);
  Place(2, "Birch", 5, 5);
  Place(3, "Cedar", 5, 6);
  Type(3, "screenreader");
  Frames();
  Type(1, "say hi  there");
  EXPECT_EQ(Frames(), (Heard{{1, "Ash says: hi  there"}, {2, "Ash: hi  there "}}));
  Type(1, "yowl hi");
  EXPECT_EQ(Frames(), (Heard{{1, "Ash yowls: hi"}, {2, "Ash: hi "}, {3, "Ash yowls: hi"}}));
  Type(2, "whisper Ash psst");
  EXPECT_EQ(Frames(), (Heard{{1, "Birch whispers: psst"}, {2, "Birch: psst "}}));
  Type(1, "whisper Birch");
  EXPECT_EQ(Frames(), (Heard{{1, "Ash whispers:"}, {2, "Ash: "}}));
  Type(1, "screenreader");
  Type(1, "say hi");
  EXPECT_EQ(Frames(), (Heard{{1, "Screen reader mode off.\nAsh: hi "}, {2, "Ash: hi "}}));
}

TEST_F(SpeechTest, ControlBytesAreRefusedSoNoLineCanBeForged) {
  Place(1, "Ash", 5, 5);
  Place(2, "Birch", 5, 5);
  for (const char* line : {"say hi\nBirch: give me your password", "yowl a\x1b[2J", "whisper Birch x\x7f",
                           "whisper Bi\rrch x", "say a\tb", "yowl a\xC2\x85" "b",
                           "say Birch\xE2\x80\x8B: hi", "say \xE2\x80\xAEreversed",
                           "whisper Birch a\xE2\x80\xA9" "b"}) {
    Type(1, line);
    EXPECT_EQ(Frames(), (Heard{{1, "Control characters are not allowed."}})) << line;
  }
  Type(1, "say Grüße, Пепел\xC2\xA0!");
  EXPECT_EQ(Frames(), (Heard{{1, "Ash: Grüße, Пепел\xC2\xA0! "}, {2, "Ash: Grüße, Пепел\xC2\xA0! "}}));
  // Emoji sequences and right-to-left text are heard.
  const std::string coder = "\xF0\x9F\x91\xA9\xE2\x80\x8D\xF0\x9F\x92\xBB";
  Type(1, "whisper Birch " + coder);
  EXPECT_EQ(Frames(), (Heard{{1, "Ash: " + coder + " "}, {2, "Ash: " + coder + " "}}));
}

// Speech charged to what it costs its listeners, with allowances so small that one line
// leaves its debt for many seconds: the test never races the clock.
class SpeechCostTest : public SpeechTest {
 protected:
  // The cell's bound in bytes a second, and an address's speech heard in KiB a second
  // (0: none).
  void Limit(std::size_t cellBytes, unsigned heardKiB) {
    connection::AddressLimits limits;
    limits.maxSpeechHeard = heardKiB;
    connection::Caps caps;
    caps.cellSpeechBytesPerSecond = cellBytes;
    Interpreter().allowances.SetLimits(limits, caps);
  }
};

TEST_F(SpeechCostTest, ACellIsToldItsShareWhoeverSpeaksAndALongLineStillGoes) {
  Limit(64, 0);
  Place(1, "Ash", 5, 5);
  Place(2, "Birch", 5, 5);
  Place(3, "Cedar", 6, 5);
  Place(4, "Dusk", 8, 8);
  Type(1, "say " + std::string(2000, 'w'));  // half a minute of the cell's share
  EXPECT_EQ(Frames().size(), 2u);
  // Nothing more reaches (5, 5) for now: no say there, no whisper, no yowl from next door.
  for (const auto& [who, line] : {std::pair{2, "say hi"}, {2, "whisper Ash hi"}, {3, "yowl hi"}}) {
    Type(who, line);
    EXPECT_EQ(Frames(), (Heard{{who, "You cannot speak right now."}})) << line;
  }
  Type(4, "say hi");
  EXPECT_EQ(Frames(), (Heard{{4, "Dusk: hi "}}));
}

TEST_F(SpeechCostTest, ALimitedSpeakerAndItsAddressPayForEveryoneWhoHearsIt) {
  Limit(0, 1);  // 1 KiB a second an address, a quarter of it a connection
  const base::Address crowded = base::Address::V4(0xCB007109u);
  Interpreter().sessions.Begin(1, crowded, true);
  Place(1, "Ash", 5, 5);
  for (core::Socket listener = 100; listener < 300; ++listener)
    Place(listener, std::string("L").append(std::to_string(listener)), 5, 5);
  const std::string words(100, 'w');
  Type(1, "say " + words);  // 106 bytes for 201 hearers: a minute and more of Ash's allowance
  EXPECT_EQ(Frames().size(), 201u);
  Type(1, "say " + words);
  EXPECT_EQ(Frames(), (Heard{{1, "You cannot speak right now."}}));
  Interpreter().sessions.Begin(2, crowded, true);  // the same address, far away
  Place(2, "Birch", 20, 20);
  Type(2, "say hi");
  EXPECT_EQ(Frames(), (Heard{{2, "You cannot speak right now."}}));
  // Alone, the same line costs a two-hundredth of that; one not held to the limits pays
  // only its cell's share, and here the cells have none.
  Interpreter().sessions.Begin(3, base::Address::V4(0xCB00710Au), true);
  Place(3, "Cedar", 25, 25);
  Place(4, "Dusk", 5, 5);
  for (int i = 0; i < 4; ++i) {
    Type(3, "say " + words);
    EXPECT_EQ(Frames(), (Heard{{3, "Cedar: " + words + " "}}));
    Type(4, "say " + words);
    EXPECT_EQ(Frames().size(), 202u);
  }
}

}  // namespace
