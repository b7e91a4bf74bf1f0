#include "commands/words.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using commands::SplitWords;

std::vector<std::string> Args(std::string_view line) {
  std::vector<std::string> out;
  for (auto a : SplitWords(line).args) out.emplace_back(a);
  return out;
}

TEST(SplitWords, CommandAndArguments) {
  const auto split = SplitWords("say hello there");
  EXPECT_EQ(split.command, "say");
  EXPECT_EQ(Args("say hello there"), (std::vector<std::string>{"hello", "there"}));
  EXPECT_EQ(split.Arg(5), "");
}

TEST(SplitWords, OnlySpacesSeparate) {
  EXPECT_EQ(SplitWords("say\thi").command, "say\thi");
  EXPECT_EQ(Args("say a\tb\r"), (std::vector<std::string>{"a\tb\r"}));
}

TEST(SplitWords, EmptyWordsAndATrailingSpace) {
  EXPECT_TRUE(Args("look ").empty());
  EXPECT_EQ(Args("look  "), (std::vector<std::string>{""}));
  EXPECT_EQ(Args("help  general"), (std::vector<std::string>{"", "general"}));
  EXPECT_EQ(Args("say a  b "), (std::vector<std::string>{"a", "", "b"}));
}

TEST(SplitWords, LeadingSpaceGivesAnEmptyCommand) {
  const auto split = SplitWords(" look");
  EXPECT_EQ(split.command, "");
  EXPECT_EQ(Args(" look"), (std::vector<std::string>{"look"}));
  EXPECT_EQ(SplitWords("").command, "");
  EXPECT_TRUE(SplitWords("").args.empty());
}

TEST(HasControlCharacter, TakesTheFormatCharactersRealTextNeeds) {
  const char* accepted[] = {
      "\xF0\x9F\x91\xA9\xE2\x80\x8D\xF0\x9F\x92\xBB",  // woman technologist: a ZWJ
      "\xD9\x85\xD8\xB1\xD8\xAD\xD8\xA8\xD8\xA7\xE2\x80\x8F",  // Arabic, then U+200F
      "\xD9\xA1\xD9\xA2\xD8\x9C" "3",  // U+061C
      "Auf\xE2\x80\x8Clage\xE2\x80\x8E",  // ZWNJ, LRM
      // the flag of Scotland: a black flag, the tags "gbsct" and the cancel tag
      "\xF0\x9F\x8F\xB4\xF3\xA0\x81\xA7\xF3\xA0\x81\xA2\xF3\xA0\x81\xB3"
      "\xF3\xA0\x81\xA3\xF3\xA0\x81\xB4\xF3\xA0\x81\xBF!",
  };
  for (const char* text : accepted) EXPECT_FALSE(commands::HasControlCharacter(text)) << text;
}

TEST(HasControlCharacter, RefusesWhatReordersOrHidesText) {
  const char* refused[] = {
      "a\xE2\x80\xAA" "b", "a\xE2\x80\xAE" "b",  // an embedding, an override
      "a\xE2\x81\xA6" "b", "a\xE2\x81\xA9" "b",  // isolates
      "a\xE2\x80\xA8" "b", "a\xE2\x80\xA9" "b",  // line and paragraph separators
      "a\xE2\x81\xA1" "b", "a\xE2\x81\xA4" "b",  // invisible operators
      "a\xE2\x80\x8B" "b", "a\xEF\xBB\xBF" "b", "a\xC2\xAD" "b", "a\xE2\x81\xA0" "b",
      "a\xF3\xA0\x81\xA7",                         // a tag after a letter
      "\xF3\xA0\x81\xA7\xF3\xA0\x81\xBF",          // tags after nothing
      "1\xF3\xA0\x81\xA7\xF3\xA0\x81\xBF",         // after a digit
      "\xF0\x9F\x8F\xB4\xF3\xA0\x81\xA7",          // tags never ended
      "\xF0\x9F\x8F\xB4\xF3\xA0\x81\xA7x\xF3\xA0\x81\xBF",
      "\xF0\x9F\x8F\xB4\xF3\xA0\x81\xBF",          // a cancel tag alone
  };
  for (const char* text : refused) EXPECT_TRUE(commands::HasControlCharacter(text)) << text;
}

}  // namespace
