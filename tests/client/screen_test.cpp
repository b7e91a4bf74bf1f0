#include "client/screen.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "client/terminal_model.h"

namespace {

using Rows = std::vector<std::string>;

// A screen of 6 rows by 40 columns, and a terminal that shows what it writes.
class ScreenTest : public ::testing::Test {
 protected:
  ScreenTest() {
    client::StartScreen(screen_, 6, 40, started_);
    Resize(6, 40);
  }

  std::string Show(const std::string& text, int* rows = nullptr) {
    std::string out;
    const int used = client::ShowText(screen_, text, out);
    if (rows != nullptr) *rows = used;
    terminal_->Feed(out);
    return out;
  }
  std::string Send(const std::string& line) {
    std::string out;
    client::ShowSentLine(screen_, line, out);
    terminal_->Feed(out);
    return out;
  }
  // The terminal changes size and shows nothing it had (every cell '~') until the
  // client draws it again.
  void Resize(int rows, int columns) {
    terminal_ = std::make_unique<client_test::TerminalModel>(rows, columns);
    std::string out;
    client::RedrawScreen(screen_, rows, columns, out);
    client::DrawInputRow(screen_, editor_, out);
    terminal_->Feed(out);
  }
  std::string Draw(const std::string& line, std::size_t cursor) {
    editor_.editLine = line;
    editor_.cursor = cursor;
    std::string out;
    client::DrawInputRow(screen_, editor_, out);
    terminal_->Feed(out);
    return out;
  }
  Rows Screen() const {
    Rows rows;
    for (int row = 1; row <= screen_.rows; ++row) rows.push_back(terminal_->Text(row));
    return rows;
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
  std::unique_ptr<client_test::TerminalModel> terminal_;
};

TEST_F(ScreenTest, StartClearsTheScreenAndSetsTheScrollingRegion) {
  EXPECT_EQ(started_.substr(0, 16), "\x1b[2J\x1b[1;1H\x1b[1;5r");
  EXPECT_EQ(Screen(), (Rows{"", "", "", "", "", ""}));
}

TEST_F(ScreenTest, TextFillsTheAreaThenTheNewestRowIsJustAboveTheInputRow) {
  int rows = 0;
  EXPECT_EQ(Show("a\nb\nc", &rows), "\x1b[1;1Ha\x1b[2;1Hb\x1b[3;1Hc");
  EXPECT_EQ(rows, 3);
  Show("");
  Show("e");
  EXPECT_EQ(Screen(), (Rows{"a", "b", "c", "", "e", ""}));
  EXPECT_EQ(Show("f\ng"), "\x1b[5;1H\nf\x1b[5;1H\ng");
  EXPECT_EQ(Screen(), (Rows{"c", "", "e", "f", "g", ""}));
}

TEST_F(ScreenTest, LongLinesWrapAtBlanksAndIndentEveryRowAfterTheFirst) {
  int rows = 0;
  Show("The quick brown fox jumps over the lazy dog and runs on", &rows);
  EXPECT_EQ(rows, 2);
  EXPECT_EQ(Screen()[0], "The quick brown fox jumps over the lazy");
  EXPECT_EQ(Screen()[1], "  dog and runs on");
  // Blanks cannot push a player's words to the start of a row, where they would pass
  // for a message of their own; nor can a redraw at another width.
  Show(std::string("Ash: ").append(35, ' ') + "[Announcement] Log in at http://evil.example/");
  EXPECT_EQ(Screen(), (Rows{"The quick brown fox jumps over the lazy", "  dog and runs on",
                            "Ash:", "  [Announcement] Log in at", "  http://evil.example/", ""}));
  Resize(6, 30);
  EXPECT_EQ(Screen(), (Rows{"The quick brown fox jumps over", "  the lazy dog and runs on", "Ash:",
                            "           [Announcement] Log", "  in at http://evil.example/", ""}));
}

TEST_F(ScreenTest, ControlBytesAreShownInCaretNotationAndSentLinesDimmed) {
  EXPECT_EQ(Show("a\x1b[2J\x07\x7f\r\x01\tb"), "\x1b[1;1Ha^[[2J^G^?^M^A\tb");
  // a lone continuation, a lone 0x9B (CSI on 8-bit terminals), U+009B, a cut sequence
  EXPECT_EQ(Show("\x80\x9b\xC2\x9b\xE6\x97"), "\x1b[2;1HM-^@M-^[M-^[\xEF\xBF\xBDM-^W");
  EXPECT_EQ(Send("say \x1b"), "\x1b[3;1H\x1b[2msay ^[\x1b[m");
}

TEST_F(ScreenTest, SentLinesHideThePasswordOfSetupAndLogin) {
  for (const char* line : {"login Ash pw", "setup Ash pw she 1 kit moss \" \" a b", "login Ash ",
                           "login Ash", "say login Ash pw"}) {
    Send(line);
  }
  EXPECT_EQ(Screen(), (Rows{"login Ash ***", "setup Ash *** she 1 kit moss \" \" a b",
                            "login Ash ***", "login Ash", "say login Ash pw", ""}));
}

TEST_F(ScreenTest, AResizeDrawsTheNewestRowsAgain) {
  for (const char* line : {"l1", "l2", "l3", "l4"}) Show(line);
  Resize(3, 40);  // smaller than the text: the newest rows, the input row blank
  EXPECT_EQ(Screen(), (Rows{"l3", "l4", ""}));
  Show("l5");
  EXPECT_EQ(Screen(), (Rows{"l4", "l5", ""}));
  Resize(8, 40);  // taller than the text: everything, from the top
  EXPECT_EQ(Screen(), (Rows{"l1", "l2", "l3", "l4", "l5", "", "", ""}));
  Show("after");
  EXPECT_EQ(Screen()[5], "after");
  Resize(6, 8);  // narrower: the kept lines wrap again
  Show("one two three");
  EXPECT_EQ(Screen(), (Rows{"l4", "l5", "after", "one two", "  three", ""}));
}

TEST_F(ScreenTest, WindowsOfOneAndTwoRowsStillShowTheNewestText) {
  Resize(2, 40);
  Show("first\nsecond");
  EXPECT_EQ(Screen(), (Rows{"second", ""}));
  Resize(1, 40);
  Draw("typed", 5);
  EXPECT_EQ(Screen(), Rows{"typed"});
  Show("third");
  Draw("typed", 5);
  EXPECT_EQ(Screen(), Rows{"third"});  // until the next key
  screen_.newestOnInputRow = false;
  Draw("typed", 5);
  EXPECT_EQ(Screen(), Rows{"typed"});
}

TEST_F(ScreenTest, KeepsTheNewestThousandRows) {
  for (int i = 0; i < client::kKeptRows + 100; ++i) Show("line " + std::to_string(i));
  EXPECT_EQ(screen_.keptRows, client::kKeptRows);
  EXPECT_EQ(screen_.kept.front().text, "line 100");
  // A line of 1500 rows, one word each, keeps its last 1000 alone.
  std::string huge;
  for (int i = 0; i < 1500; ++i) {
    huge += "row" + std::to_string(i + 1000) + std::string(31, 'x') + " ";
  }
  huge.pop_back();  // a blank at the end would take a row of its own
  Show(huge);
  ASSERT_EQ(screen_.kept.size(), 1u);
  EXPECT_EQ(screen_.keptRows, client::kKeptRows);
  EXPECT_EQ(screen_.kept.front().text.substr(0, 7), "row1500");
  Resize(6, 80);  // twice as wide: half the rows
  EXPECT_EQ(screen_.keptRows, client::kKeptRows / 2);
  // What is left of the line is still indented where it starts.
  Resize(client::kKeptRows / 2 + 2, 80);
  EXPECT_EQ(Screen()[0].substr(0, 9), "  row1500");
}

TEST_F(ScreenTest, EndResetsTheScrollingRegionAndClearsTheInputRow) {
  std::string out;
  client::EndScreen(screen_, out);
  EXPECT_EQ(out, "\x1b[r\x1b[6;1H\x1b[2K");
}

// ---- The input row --------------------------------------------------------------------

TEST_F(ScreenTest, TheInputRowIsRedrawnFromTheLine) {
  EXPECT_EQ(Draw("", 0), "\x1b[6;1H\x1b[2K\x1b[6;1H");
  EXPECT_EQ(Draw("axbc", 2), "\x1b[6;1H\x1b[2Kaxbc\x1b[6;3H");
  // a typed control character shows in caret notation and takes two columns
  EXPECT_EQ(Draw("a\tb", 2), "\x1b[6;1H\x1b[2Ka^Ib\x1b[6;4H");
  EXPECT_EQ(Draw("\xE6\x97\xA5x", 3), "\x1b[6;1H\x1b[2K\xE6\x97\xA5x\x1b[6;3H");
}

TEST_F(ScreenTest, TheInputRowHidesThePasswordOfSetupAndLogin) {
  // One '*' a character, é included; the cursor after the second of them.
  EXPECT_EQ(Draw("login Ash p\xC3\xA9w", 13), "\x1b[6;1H\x1b[2Klogin Ash ***\x1b[6;13H");
  EXPECT_EQ(editor_.editLine, "login Ash p\xC3\xA9w");
  EXPECT_EQ(Shown(Draw("setup Ash pw she 8", 18)), "setup Ash ** she 8");
  EXPECT_EQ(CursorAt(Draw("setup Ash pw she 8", 18)), "\x1b[6;19H");
  EXPECT_EQ(Shown(Draw("say login Ash pw", 16)), "say login Ash pw");
  EXPECT_EQ(Shown(Draw("password old new", 16)), "password *******");
}

TEST_F(ScreenTest, ALineWiderThanTheScreenScrollsSideways) {
  std::string line;
  for (int i = 0; i < 60; ++i) line += static_cast<char>('a' + i % 26);
  // At the end: the last 38 characters, the cursor in column 39, the last column empty.
  std::string drawn = Draw(line, line.size());
  EXPECT_EQ(Shown(drawn), line.substr(22));
  EXPECT_EQ(CursorAt(drawn), "\x1b[6;39H");
  // Going left keeps the view until the cursor reaches its left edge.
  drawn = Draw(line, 30);
  EXPECT_EQ(CursorAt(drawn), "\x1b[6;9H");
  drawn = Draw(line, 10);
  EXPECT_EQ(CursorAt(drawn), "\x1b[6;1H");
  EXPECT_EQ(Shown(drawn), line.substr(10, 39));
  // Home: the start of the line fills the row.
  drawn = Draw(line, 0);
  EXPECT_EQ(Shown(drawn), line.substr(0, 39));
  // The line shrinks (Backspaces at the end): the row fills from the left again.
  drawn = Draw(line.substr(0, 20), 20);
  EXPECT_EQ(Shown(drawn), line.substr(0, 20));
  EXPECT_EQ(CursorAt(drawn), "\x1b[6;21H");
}

TEST_F(ScreenTest, SidewaysScrollingCountsColumnsNotBytes) {
  std::string line;
  for (int i = 0; i < 30; ++i) line += "\xE6\x97\xA5";  // 30 wide characters, 60 columns
  const std::string drawn = Draw(line, line.size());
  EXPECT_EQ(Shown(drawn), line.substr(line.size() - 19 * 3));
  EXPECT_EQ(CursorAt(drawn), "\x1b[6;39H");
}

}  // namespace
