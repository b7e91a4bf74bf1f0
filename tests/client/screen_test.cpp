#include "client/screen.h"

#include <gtest/gtest.h>

#include <string>

#include "client/display.h"

namespace {

// A screen of 24 rows by 40 columns and the bytes written to it.
class ScreenTest : public ::testing::Test {
 protected:
  ScreenTest() { client::StartScreen(screen_, 24, 40, started_); }

  std::string Show(const std::string& text, int* rows = nullptr) {
    std::string out;
    const int used = client::ShowText(screen_, text, out);
    if (rows != nullptr) *rows = used;
    return out;
  }
  std::string Draw(const std::string& line, std::size_t cursor) {
    editor_.editLine = line;
    editor_.cursor = cursor;
    std::string out;
    client::DrawInputRow(screen_, editor_, out);
    return out;
  }
  // What the input row shows: the bytes after the erase, before the cursor placement.
  static std::string Shown(const std::string& drawn) {
    const std::size_t from = drawn.find("\x1b[2K") + 4;
    return drawn.substr(from, drawn.rfind("\x1b[") - from);
  }
  static std::string CursorAt(const std::string& drawn) { return drawn.substr(drawn.rfind("\x1b[")); }

  client::Screen screen_;
  client::LineEditor editor_;
  std::string started_;
};

TEST_F(ScreenTest, StartClearsTheScreenAndSetsTheScrollingRegion) {
  EXPECT_EQ(started_, "\x1b[2J\x1b[1;1H\x1b[1;23r");
  EXPECT_EQ(screen_.outputRow, 1);
}

TEST_F(ScreenTest, AThreeLineTextMovesTheOutputThreeRows) {
  int rows = 0;
  EXPECT_EQ(Show("a\nb\nc", &rows), "\x1b[1;1Ha\r\nb\r\nc\r\n");
  EXPECT_EQ(rows, 3);
  EXPECT_EQ(screen_.outputRow, 4);
  EXPECT_EQ(Show("d").substr(0, 6), "\x1b[4;1H");
  EXPECT_EQ(screen_.outputRow, 5);
}

TEST_F(ScreenTest, EmptyLinesTakeARowEach) {
  int rows = 0;
  EXPECT_EQ(Show("", &rows), "\x1b[1;1H\r\n");
  EXPECT_EQ(rows, 1);
  Show("a\n\n", &rows);
  EXPECT_EQ(rows, 3);
  EXPECT_EQ(screen_.outputRow, 5);
}

TEST_F(ScreenTest, LinesWiderThanTheScreenCountTheirWrappedRows) {
  int rows = 0;
  Show(std::string(40, 'x'), &rows);  // exactly the width: one row
  EXPECT_EQ(rows, 1);
  Show(std::string(41, 'x'), &rows);
  EXPECT_EQ(rows, 2);
  Show(std::string(39, 'x') + "\xE6\x97\xA5", &rows);  // a wide character wraps whole
  EXPECT_EQ(rows, 2);
  Show("\t\t\t\t\t\t\t", &rows);  // tabs stop at the last column
  EXPECT_EQ(rows, 1);
  EXPECT_EQ(screen_.outputRow, 7);
}

TEST_F(ScreenTest, TheOutputStaysInsideTheScrollingRegion) {
  for (int i = 0; i < 30; ++i) Show("line");
  EXPECT_EQ(screen_.outputRow, 23);
  EXPECT_EQ(Show("next").substr(0, 7), "\x1b[23;1H");
}

TEST_F(ScreenTest, ControlBytesAreShownInCaretNotation) {
  EXPECT_EQ(Show("a\x1b[2J\x07\x7f\r\x01\tb"), "\x1b[1;1Ha^[[2J^G^?^M^A\tb\r\n");
}

TEST_F(ScreenTest, Utf8PassesAndMalformedBytesAndC1ControlsDoNot) {
  EXPECT_EQ(Show("caf\xC3\xA9 \xE6\x97\xA5"), "\x1b[1;1Hcaf\xC3\xA9 \xE6\x97\xA5\r\n");
  // a lone continuation, a lone 0x9B (CSI on 8-bit terminals), U+009B, a cut sequence
  EXPECT_EQ(Show("\x80\x9b\xC2\x9b\xE6\x97"),
            "\x1b[2;1H\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\r\n");
}

TEST_F(ScreenTest, EndResetsTheScrollingRegionAndClearsTheInputRow) {
  std::string out;
  client::EndScreen(screen_, out);
  EXPECT_EQ(out, "\x1b[r\x1b[24;1H\x1b[2K");
}

TEST_F(ScreenTest, ResizeMovesTheRegionAndKeepsTheOutputInsideIt) {
  for (int i = 0; i < 15; ++i) Show("line");
  std::string out;
  client::ResizeScreen(screen_, 10, 30, out);
  EXPECT_EQ(out, "\x1b[1;9r\x1b[9;1H\x1b[J");
  EXPECT_EQ(screen_.outputRow, 9);
  EXPECT_EQ(Draw("ab", 2), "\x1b[10;1H\x1b[2Kab\x1b[10;3H");
  out.clear();
  client::ResizeScreen(screen_, 1, 1, out);  // too small to lay out: the least is kept
  EXPECT_EQ(screen_.rows, client::kMinRows);
  EXPECT_EQ(screen_.columns, client::kMinColumns);
}

TEST_F(ScreenTest, TheInputRowIsRedrawnFromTheLine) {
  EXPECT_EQ(Draw("", 0), "\x1b[24;1H\x1b[2K\x1b[24;1H");
  EXPECT_EQ(Draw("axbc", 2), "\x1b[24;1H\x1b[2Kaxbc\x1b[24;3H");
  // a typed control character shows in caret notation and takes two columns
  EXPECT_EQ(Draw("a\tb", 2), "\x1b[24;1H\x1b[2Ka^Ib\x1b[24;4H");
  EXPECT_EQ(Draw("\xE6\x97\xA5x", 3), "\x1b[24;1H\x1b[2K\xE6\x97\xA5x\x1b[24;3H");
}

TEST_F(ScreenTest, ALineWiderThanTheScreenScrollsSideways) {
  std::string line;
  for (int i = 0; i < 60; ++i) line += static_cast<char>('a' + i % 26);
  // At the end: the last 38 characters, the cursor in column 39, the last column empty.
  std::string drawn = Draw(line, line.size());
  EXPECT_EQ(Shown(drawn), line.substr(22));
  EXPECT_EQ(CursorAt(drawn), "\x1b[24;39H");
  // Going left keeps the view until the cursor reaches its left edge.
  drawn = Draw(line, 30);
  EXPECT_EQ(CursorAt(drawn), "\x1b[24;9H");
  drawn = Draw(line, 10);
  EXPECT_EQ(CursorAt(drawn), "\x1b[24;1H");
  EXPECT_EQ(Shown(drawn), line.substr(10, 39));
  // Home: the start of the line fills the row.
  drawn = Draw(line, 0);
  EXPECT_EQ(Shown(drawn), line.substr(0, 39));
  // The line shrinks (Backspaces at the end): the row fills from the left again.
  drawn = Draw(line.substr(0, 20), 20);
  EXPECT_EQ(Shown(drawn), line.substr(0, 20));
  EXPECT_EQ(CursorAt(drawn), "\x1b[24;21H");
}

TEST_F(ScreenTest, SidewaysScrollingCountsColumnsNotBytes) {
  std::string line;
  for (int i = 0; i < 30; ++i) line += "\xE6\x97\xA5";  // 30 wide characters, 60 columns
  const std::string drawn = Draw(line, line.size());
  EXPECT_EQ(Shown(drawn), line.substr(line.size() - 19 * 3));
  EXPECT_EQ(CursorAt(drawn), "\x1b[24;39H");
}

// ---- Measuring characters ---------------------------------------------------------

TEST(DisplayTest, CharactersAreCutAsUtf8) {
  const std::string text = "a\xC3\xA9\xE6\x97\xA5\xF0\x9F\x90\xB1\xED\xA0\x80\xF4\x90\x80\x80";
  EXPECT_EQ(client::CharLength(text, 0), 1u);
  EXPECT_EQ(client::CharLength(text, 1), 2u);
  EXPECT_EQ(client::CharLength(text, 3), 3u);
  EXPECT_EQ(client::CharLength(text, 6), 4u);
  EXPECT_EQ(client::CharLength(text, 10), 1u);  // a surrogate
  EXPECT_EQ(client::CharLength(text, 13), 1u);  // past U+10FFFF
  EXPECT_EQ(client::PreviousCharStart(text, 10), 6u);
  EXPECT_EQ(client::PreviousCharStart(text, 6), 3u);
  EXPECT_EQ(client::PreviousCharStart(text, 3), 1u);
  EXPECT_EQ(client::PreviousCharStart(text, 1), 0u);
  EXPECT_EQ(client::PreviousCharStart(text, 13), 12u);  // the surrogate's bytes stand alone
  EXPECT_EQ(client::CharStartAtOrBefore(text, 8), 6u);
  EXPECT_EQ(client::CharStartAtOrBefore(text, 12), 12u);
  EXPECT_EQ(client::ShownWidthOf("a\xC3\xA9\xE6\x97\xA5\x1b" "e\xCC\x81"), 7);
}

}  // namespace
