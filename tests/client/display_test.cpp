#include "client/display.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// The rows as shown, each row's indent as blanks.
std::vector<std::string> Wrap(const std::string& line, int columns, int firstIndent = 0,
                              int indent = 0) {
  std::vector<std::string> rows;
  for (const client::RowSpan& row : client::WrapLine(line, columns, firstIndent, indent)) {
    rows.push_back(std::string(static_cast<std::size_t>(row.indent), ' ') +
                   line.substr(row.begin, row.end - row.begin));
  }
  return rows;
}

using Rows = std::vector<std::string>;

TEST(WrapTest, BreaksAtTheLastBlankBeforeTheEdge) {
  EXPECT_EQ(Wrap("the quick brown fox", 10), (Rows{"the quick", "brown fox"}));
  EXPECT_EQ(Wrap("exactly10c", 10), (Rows{"exactly10c"}));
  EXPECT_EQ(Wrap("exactly10c next", 10),
            (Rows{"exactly10c", "next"}));  // the blank at the edge goes
  EXPECT_EQ(Wrap("", 10), (Rows{""}));
}

TEST(WrapTest, AWordWiderThanTheScreenBreaksAtTheEdge) {
  EXPECT_EQ(Wrap("abcdefghijkl xy", 5), (Rows{"abcde", "fghij", "kl xy"}));
  EXPECT_EQ(Wrap("ab cdefghijkl", 5), (Rows{"ab", "cdefg", "hijkl"}));
}

TEST(WrapTest, CountsColumnsNotBytes) {
  // 日本 takes four columns, so 語 goes to the next row; é takes one.
  EXPECT_EQ(Wrap("\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E ab", 5),
            (Rows{"\xE6\x97\xA5\xE6\x9C\xAC", "\xE8\xAA\x9E ab"}));
  EXPECT_EQ(Wrap("caf\xC3\xA9 caf\xC3\xA9", 9), (Rows{"caf\xC3\xA9 caf\xC3\xA9"}));
  EXPECT_EQ(Wrap("a\x1b\x1b", 4), (Rows{"a\x1b", "\x1b"}));    // caret notation: two columns each
  EXPECT_EQ(Wrap("\xE6\x97\xA5", 1), (Rows{"\xE6\x97\xA5"}));  // too wide for any row: alone
}

TEST(WrapTest, TabsMoveToTheNextStop) {
  EXPECT_EQ(Wrap("help\tdisplays this", 24), (Rows{"help\tdisplays this"}));  // 21 columns
  EXPECT_EQ(Wrap("help\tdisplays this message", 24), (Rows{"help\tdisplays this", "message"}));
  EXPECT_EQ(Wrap("abcdefg\tb", 8),
            (Rows{"abcdefg", "b"}));  // a tab that reaches the edge ends the row
}

TEST(DisplayTest, CharactersAreCutAsUtf8AndShownHarmless) {
  const std::string text = "a\xC3\xA9\xE6\x97\xA5\xF0\x9F\x90\xB1\xED\xA0\x80";
  EXPECT_EQ(client::CharLength(text, 1), 2u);
  EXPECT_EQ(client::CharLength(text, 10), 1u);  // a surrogate's bytes stand alone
  EXPECT_EQ(client::PreviousCharStart(text, 10), 6u);
  EXPECT_EQ(client::PreviousCharStart(text, 13), 12u);
  EXPECT_EQ(client::CharStartAtOrBefore(text, 8), 6u);
  EXPECT_EQ(client::CharStartAtOrBefore(text, 12), 12u);
  std::string shown;
  client::AppendShownText(shown, "a\x1b[31m\tb\n\x7f\xC2\x9b\x9b\xFF");
  EXPECT_EQ(shown, "a^[[31m\tb\n^?M-^[M-^[\xEF\xBF\xBD");
  EXPECT_EQ(client::ShownWidth("\x9b"), 4);
}

}  // namespace
