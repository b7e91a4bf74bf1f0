#include "net/utf8.h"

#include <gtest/gtest.h>

namespace {

using net::utf8::WellFormedLength;

TEST(Utf8Test, CutsDecodesAndMeasuresCharacters) {
  EXPECT_EQ(net::utf8::SequenceLength('a'), 1);
  EXPECT_EQ(net::utf8::SequenceLength(0xC3), 2);
  EXPECT_EQ(net::utf8::SequenceLength(0xE6), 3);
  EXPECT_EQ(net::utf8::SequenceLength(0xF0), 4);
  for (const unsigned char bad : {0x80, 0xBF, 0xC0, 0xC1, 0xF5, 0xFF}) {
    EXPECT_EQ(net::utf8::SequenceLength(bad), 0) << int{bad};
  }
  EXPECT_TRUE(net::utf8::IsContinuation(0x80));
  EXPECT_FALSE(net::utf8::IsContinuation(0xC3));

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

  EXPECT_EQ(net::utf8::Decode("\xC3\xA9"), U'\u00E9');
  EXPECT_EQ(net::utf8::Decode("\xF4\x8F\xBF\xBF"), U'\U0010FFFF');
  EXPECT_EQ(net::utf8::ColumnWidth(U'a'), 1);
  EXPECT_EQ(net::utf8::ColumnWidth(U'\u65E5'), 2);      // 日
  EXPECT_EQ(net::utf8::ColumnWidth(U'\U0001F431'), 2);  // 🐱
  EXPECT_EQ(net::utf8::ColumnWidth(U'\u0301'), 0);      // a combining accent
}

}  // namespace
