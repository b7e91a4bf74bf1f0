#include "telnet/telnet_writer.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using namespace std::string_literals;

std::string Lines(std::string_view text) {
  std::string out;
  telnet::AppendGameText(out, text);
  return out;
}

TEST(WriterTest, MessagesBecomeCrLfLines) {
  EXPECT_EQ(Lines("You see:\nthe camp\n"), "You see:\r\nthe camp\r\n\r\n");
  EXPECT_EQ(Lines(""), "\r\n");
}

TEST(WriterTest, ControlBytesAreShownAndIacIsDoubled) {
  EXPECT_EQ(Lines("a\x1b[2Jb\x07\x7f\r\tc"), "a^[[2Jb^G^?^M\tc\r\n");
  EXPECT_EQ(Lines("\xff"), "\xff\xff\r\n");
  EXPECT_EQ(Lines("Flüche ✓"), "Flüche ✓\r\n");
  // C1 controls, lone or as characters; a lone byte above them passes
  EXPECT_EQ(Lines("a\x9b" "2J\xC2\x85\xE6\x97\xA0"), "aM-^[2JM-^E\xE6\x97\xA0\r\n");
  EXPECT_EQ(Lines("\xE6\x97" "b\xA0"), "\xE6M-^Wb\xA0\r\n");
}

std::string Variable(const std::string& name, const std::string& value) {
  return "\x01" + name + "\x02" + value;
}

TEST(WriterTest, MsspStatusNamesEveryVariable) {
  std::string out;
  telnet::AppendMsspStatus(out, {3, 1700000000, 4000, 0, ""});
  EXPECT_EQ(out, "\xff\xfa\x46" + Variable("NAME", "Pelthollow") + Variable("PLAYERS", "3") +
                     Variable("UPTIME", "1700000000") + Variable("CODEBASE", "Pelthollow") +
                     Variable("PORT", "4000") + "\xff\xf0");
  out.clear();
  telnet::AppendMsspStatus(out, {0, 5, 23, 992, "http://a\xff\x01/"});
  EXPECT_NE(out.find(Variable("PORT", "23") + Variable("TLS", "992") + Variable("SSL", "992") +
                     Variable("WEBSITE", "http://a/") + "\xff\xf0"),
            std::string::npos)
      << out;
}

}  // namespace
