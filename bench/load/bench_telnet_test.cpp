#include "bench_telnet.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace bench {
namespace {

TEST(TelnetLines, NegotiationIsSkippedWhereverAReadCutsIt) {
  const std::string iac = "\xff";
  const std::string stream = iac + "\xfb\x46" + "Welcome\r\n" +               // IAC WILL MSSP
                             iac + "\xfa\x46\x01N" + iac + iac + "\x02x" + iac + "\xf0" +  // SB ... SE
                             "a" + iac + iac + "b" + iac + "\xf1" + "\r\n" +  // IAC IAC, IAC NOP
                             iac + "\xfd\x01" + "\r\n" + "last\r\n";          // IAC DO ECHO, empty line
  const std::vector<std::string> expected{"Welcome", "a\xff" "b", "", "last"};
  for (std::size_t cut = 0; cut <= stream.size(); ++cut) {
    TelnetLines reader;
    std::vector<std::string> lines;
    const auto take = [&](std::string_view line) { lines.emplace_back(line); };
    reader.Feed(std::string_view(stream).substr(0, cut), take);
    reader.Feed(std::string_view(stream).substr(cut), take);
    EXPECT_EQ(lines, expected) << cut;
  }
}

}  // namespace
}  // namespace bench
