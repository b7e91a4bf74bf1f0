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

}  // namespace
