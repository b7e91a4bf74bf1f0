#include "net/frame.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

constexpr char kTooLong[] = "<too long>";

class SplitterTest : public ::testing::Test {
 protected:
  explicit SplitterTest(std::size_t limit = 8) : splitter_(limit) {}

  void Feed(std::string_view bytes) {
    splitter_.Feed(
        bytes, [&](std::string_view text) { out_.emplace_back(text); },
        [&] { out_.emplace_back(kTooLong); });
  }
  std::vector<std::string> Take() { return std::exchange(out_, {}); }

  net::FrameSplitter splitter_;
  std::vector<std::string> out_;
};

using namespace std::string_literals;

TEST_F(SplitterTest, SplitsFramesInOneReadInOrder) {
  Feed("a\0bc\0\0"s);
  EXPECT_EQ(Take(), (std::vector<std::string>{"a", "bc", ""}));
  EXPECT_EQ(splitter_.Buffered(), 0u);
}

TEST_F(SplitterTest, KeepsAnUnfinishedFrameUntilItsEnd) {
  Feed("lo");
  EXPECT_TRUE(Take().empty());
  Feed("o");
  Feed("k\0sa"s);
  EXPECT_EQ(Take(), (std::vector<std::string>{"look"}));
  EXPECT_EQ(splitter_.Buffered(), 2u);
  Feed("y\0"s);
  EXPECT_EQ(Take(), (std::vector<std::string>{"say"}));
}

TEST_F(SplitterTest, EveryCutOfAStreamGivesTheSameFrames) {
  const std::string stream = "help\0say hi\0\0look\0"s;
  for (std::size_t cut = 0; cut <= stream.size(); ++cut) {
    Feed(std::string_view(stream).substr(0, cut));
    Feed(std::string_view(stream).substr(cut));
    EXPECT_EQ(Take(), (std::vector<std::string>{"help", "say hi", "", "look"})) << cut;
  }
}

TEST_F(SplitterTest, AFrameAtTheLimitIsKept) {
  Feed("12345678\0"s);
  EXPECT_EQ(Take(), (std::vector<std::string>{"12345678"}));
}

// --- Frames past the limit -------------------------------------------------------

TEST_F(SplitterTest, ALongFrameIsReportedOnceAndDroppedUpToItsEnd) {
  Feed("ok\0"s + "123456789");
  EXPECT_EQ(Take(), (std::vector<std::string>{"ok", kTooLong}));
  EXPECT_EQ(splitter_.Buffered(), 0u);
  Feed(std::string(10000, 'x'));
  EXPECT_TRUE(Take().empty());
  EXPECT_EQ(splitter_.Buffered(), 0u);
  Feed("yz\0next\0"s);
  EXPECT_EQ(Take(), (std::vector<std::string>{"next"}));
}

TEST_F(SplitterTest, ALongFrameCutOverReadsNeverHoldsMoreThanTheLimit) {
  for (int i = 0; i < 20; ++i) {
    Feed("abc");
    EXPECT_LE(splitter_.Buffered(), 8u);
  }
  Feed("\0a\0"s);
  EXPECT_EQ(Take(), (std::vector<std::string>{kTooLong, "a"}));
}

TEST(AppendFrame, AddsTheNul) {
  std::string out;
  net::AppendFrame(out, "look");
  net::AppendFrame(out, "");
  EXPECT_EQ(out, "look\0\0"s);
}

}  // namespace
