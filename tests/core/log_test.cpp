#include "core/log.h"

#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <string>

namespace {

// Standard output goes to a file while one lives; Text() reads what reached it.
class CapturedOutput {
 public:
  CapturedOutput() {
    std::fflush(stdout);
    std::FILE* file = std::tmpfile();
    fd_ = ::dup(::fileno(file));
    std::fclose(file);
    saved_ = ::dup(STDOUT_FILENO);
    ::dup2(fd_, STDOUT_FILENO);
  }
  ~CapturedOutput() {
    ::dup2(saved_, STDOUT_FILENO);
    ::close(saved_);
    ::close(fd_);
  }
  std::string Text() const {
    std::string text;
    char buffer[65536];
    ssize_t n;
    off_t at = 0;
    while ((n = ::pread(fd_, buffer, sizeof buffer, at)) > 0) {
      text.append(buffer, static_cast<std::size_t>(n));
      at += n;
    }
    return text;
  }

 private:
  int fd_ = -1;
  int saved_ = -1;
};

TEST(Log, AnAddressPastItsBudgetIsLeftOutAndCountedOnce) {
  std::string line(1023, 'x');
  line += '\n';
  std::string text;
  {
    CapturedOutput out;  // gtest's own reports would go there too: they wait
    {
      core::LogSource source(base::Address::V4(0xC6336407u), true);  // 198.51.100.7, used by no other test
      for (int i = 0; i < 100; ++i) core::Log(line);
    }
    core::Log("Not on its behalf.\n");
    // The count comes once its second is over.
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while ((text = out.Text()).find("left out") == std::string::npos &&
           std::chrono::steady_clock::now() < until) {
      core::FlushLog();
    }
  }
  const std::string count = "Log lines from 198.51.100.7 left out: 36.\n";
  EXPECT_EQ(text.size(), 64 * line.size() + std::string("Not on its behalf.\n").size() + count.size());
  EXPECT_NE(text.find("Not on its behalf.\n"), std::string::npos);
  EXPECT_EQ(text.substr(text.size() - count.size()), count);
  EXPECT_EQ(core::GroupedNumber(1234567), "1,234,567");
}

TEST(Log, AFullStandardOutputHoldsTheLinesInsteadOfStoppingTheCaller) {
  int pipe[2];
  ASSERT_EQ(::pipe2(pipe, O_CLOEXEC), 0);
  std::fflush(stdout);
  const int saved = ::dup(STDOUT_FILENO);
  ::dup2(pipe[1], STDOUT_FILENO);
  std::string line(999, 'x');
  line += '\n';
  for (int i = 0; i < 200; ++i) core::Log(line);  // three times what the pipe takes
  std::string got;
  char buffer[65536];
  while (got.size() < 200 * line.size()) {
    const ssize_t n = ::read(pipe[0], buffer, sizeof buffer);
    if (n <= 0) break;
    got.append(buffer, static_cast<std::size_t>(n));
    core::FlushLog();
  }
  ::dup2(saved, STDOUT_FILENO);
  ::close(saved);
  ::close(pipe[0]);
  ::close(pipe[1]);
  EXPECT_EQ(got.size(), 200 * line.size());
}

TEST(Log, ControlCharactersAreEscapedAndTextIsNot) {
  EXPECT_EQ(core::EscapeForLog("a\x1b[2Jb\x7f\t"), "a\\x1b[2Jb\\x7f\\x09");
  // C1 controls: the character U+009B and the lone byte, which 8-bit terminals obey.
  const std::string c1 = std::string("\xc2\x9b") + "31m " + "\x9b" + "31m \xc2\x85";
  EXPECT_EQ(core::EscapeForLog(c1), "\\xc2\\x9b31m \\x9b31m \\xc2\\x85");
  // Bytes 0x80 to 0x9F inside other characters are theirs: NBSP, e acute, the euro, a clef.
  const std::string text = "\xc2\xa0 \xc3\xa9 \xe2\x82\xac \xf0\x9d\x84\x9e";
  EXPECT_EQ(core::EscapeForLog(text), text);
  // A character cut short is none: its lone 0x82 is a C1 control.
  EXPECT_EQ(core::EscapeForLog("\xe2\x82"), "\xe2\\x82");
}

}  // namespace
