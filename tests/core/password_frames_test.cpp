#include "core/password_frames.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using core::PasswordKind;
using core::PasswordMessage;

// A request, an answer with an empty text, and one with binary bytes.
std::vector<PasswordMessage> Messages() {
  return {{PasswordKind::Check, 7, "$argon2id$v=19$m=19456,t=2,p=1$c2FsdA$aGFzaA", "pw"},
          {PasswordKind::Hashed, 0xfffffffe, "", ""},
          {PasswordKind::Hash, 1, std::string("a\0\xff\n", 4), std::string(300, 'x')}};
}

std::string Stream(const std::vector<PasswordMessage>& messages) {
  std::string bytes;
  for (const PasswordMessage& m : messages) core::AppendPasswordMessage(bytes, m);
  return bytes;
}

TEST(PasswordFrames, EveryCutOfAStreamGivesTheSameMessages) {
  const std::string stream = Stream(Messages());
  for (std::size_t cut = 0; cut <= stream.size(); ++cut) {
    core::PasswordFrameReader reader;
    std::vector<PasswordMessage> out;
    ASSERT_TRUE(reader.Feed(std::string_view(stream).substr(0, cut), out));
    ASSERT_TRUE(reader.Feed(std::string_view(stream).substr(cut), out));
    EXPECT_EQ(out, Messages()) << "cut at " << cut;
    EXPECT_EQ(reader.Buffered(), 0u);
  }
  core::PasswordFrameReader bytewise;
  std::vector<PasswordMessage> out;
  for (const char c : stream) ASSERT_TRUE(bytewise.Feed(std::string_view(&c, 1), out));
  EXPECT_EQ(out, Messages());
}

// --- Error paths ---------------------------------------------------------------------

TEST(PasswordFrames, WhatNoWriterSendsBreaksTheStreamForGood) {
  const std::string good = Stream({Messages()[0]});
  std::string unknownKind = good;
  unknownKind[4] = 'Z';
  std::string shortText = good;  // the first text claims one byte less than it has
  shortText[12] = static_cast<char>(shortText[12] - 1);
  const std::string tooLong = std::string("\x00\x10\x00\x00", 4) + 'H';  // a megabyte announced
  const std::string tooShort = std::string("\x00\x00\x00\x02", 4) + "hi";
  for (const std::string& bad : {unknownKind, shortText, tooLong, tooShort}) {
    core::PasswordFrameReader reader;
    std::vector<PasswordMessage> out;
    EXPECT_FALSE(reader.Feed(bad, out));
    EXPECT_FALSE(reader.Feed(good, out));  // nothing after it is taken
    EXPECT_TRUE(out.empty());
    EXPECT_EQ(reader.Buffered(), 0u);
  }
}

}  // namespace
