#include "base/utf8.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using base::utf8::WellFormedLength;

TEST(Utf8Test, CutsDecodesAndMeasuresCharacters) {
  EXPECT_EQ(base::utf8::SequenceLength('a'), 1);
  EXPECT_EQ(base::utf8::SequenceLength(0xC3), 2);
  EXPECT_EQ(base::utf8::SequenceLength(0xE6), 3);
  EXPECT_EQ(base::utf8::SequenceLength(0xF0), 4);
  for (const unsigned char bad : {0x80, 0xBF, 0xC0, 0xC1, 0xF5, 0xFF}) {
    EXPECT_EQ(base::utf8::SequenceLength(bad), 0) << int{bad};
  }
  EXPECT_TRUE(base::utf8::IsContinuation(0x80));
  EXPECT_FALSE(base::utf8::IsContinuation(0xC3));

  EXPECT_EQ(WellFormedLength("\xF0\x9F\x90\xB1", 0), 4u);
  EXPECT_EQ(WellFormedLength("a\xC3\xA9", 1), 2u);
  EXPECT_EQ(WellFormedLength("\xE6\x97", 0), 0u);  // cut short
  EXPECT_EQ(WellFormedLength("\xE6"
                             "a\xA5",
                             0),
            0u);                                           // broken
  EXPECT_EQ(WellFormedLength("\xE0\x80\x80", 0), 0u);      // overlong
  EXPECT_EQ(WellFormedLength("\xED\xA0\x80", 0), 0u);      // a surrogate
  EXPECT_EQ(WellFormedLength("\xF4\x90\x80\x80", 0), 0u);  // past U+10FFFF
  EXPECT_EQ(WellFormedLength("\x80", 0), 0u);

  EXPECT_EQ(base::utf8::Decode("\xC3\xA9"), U'\u00E9');
  EXPECT_EQ(base::utf8::Decode("\xF4\x8F\xBF\xBF"), U'\U0010FFFF');
  EXPECT_EQ(base::utf8::ColumnWidth(U'a'), 1);
  EXPECT_EQ(base::utf8::ColumnWidth(U'\u65E5'), 2);      // 日
  EXPECT_EQ(base::utf8::ColumnWidth(U'\U0001F431'), 2);  // 🐱
  EXPECT_EQ(base::utf8::ColumnWidth(U'\u0301'), 0);      // a combining accent
}

using base::utf8::Check;
using base::utf8::IsValid;
using base::utf8::Repair;

const std::string kFffd = "\xEF\xBF\xBD";

TEST(Utf8Repair, ValidTextIsUnchanged) {
  const std::string text = "plain, caf\xC3\xA9, \xE2\x82\xAC, \xF0\x9F\x90\x88, \xF4\x8F\xBF\xBF";
  EXPECT_EQ(Repair(text), text);
  EXPECT_EQ(Repair(std::string("a\0b", 3)), std::string("a\0b", 3));
}

TEST(Utf8Repair, EachBrokenPieceBecomesOneReplacement) {
  EXPECT_EQ(Repair("a\x80z"), "a" + kFffd + "z");            // stray continuation
  EXPECT_EQ(Repair("a\xFFz"), "a" + kFffd + "z");            // never a lead byte
  EXPECT_EQ(Repair("\xE2\x82z"), kFffd + "z");               // cut: one piece
  EXPECT_EQ(Repair("end\xF0\x9F\x90"), "end" + kFffd);       // cut at the end
  EXPECT_EQ(Repair("\xC0\x80"), kFffd + kFffd);              // overlong NUL
  EXPECT_EQ(Repair("\xE0\x80\x80"), kFffd + kFffd + kFffd);  // overlong
  EXPECT_EQ(Repair("\xED\xA0\x80"), kFffd + kFffd + kFffd);  // a surrogate
  EXPECT_EQ(Repair("\xF4\x90\x80\x80"), kFffd + kFffd + kFffd + kFffd);  // past U+10FFFF
  EXPECT_EQ(Repair("\xC3\xC3\xA9"), kFffd + "\xC3\xA9");     // the next lead survives
}

TEST(Utf8Check, ACharacterMayBeCutBetweenPiecesAndABadByteBreaksTheRest) {
  Check check;
  EXPECT_TRUE(check.Feed("caf\xC3"));
  EXPECT_FALSE(check.Whole());
  EXPECT_TRUE(check.Feed("\xA9 \xF0\x9F"));
  EXPECT_TRUE(check.Feed("\x90\x88"));
  EXPECT_TRUE(check.Whole());

  Check surrogate;
  EXPECT_TRUE(surrogate.Feed("\xED"));
  EXPECT_FALSE(surrogate.Feed("\xA0\x80"));
  EXPECT_FALSE(surrogate.Feed("a"));
  EXPECT_FALSE(surrogate.Whole());
  EXPECT_FALSE(IsValid("\xE2\x82"));  // cut at the end
  EXPECT_FALSE(IsValid("\xC0\x80"));  // overlong
  EXPECT_TRUE(IsValid(std::string("a\0\xF4\x8F\xBF\xBF", 6)));
}

}  // namespace
