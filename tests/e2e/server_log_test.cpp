// The server's log as an operator reads it back: no password in it however a player
// typed one, on the game port and the telnet port, and what each login came to.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <string>
#include <vector>

#include "e2e_support.h"

namespace {

using e2e::Client;
using e2e::Server;

const std::string kLoginFormat = "format: login name password";
const std::string kSetupFormat =
    "format: setup name password pronouns age(moons) role clan \" description \" genitalia nipples";

// The first three bytes of the line of `log` that holds `text`: its priority.
std::string LineWith(const std::string& log, const std::string& text) {
  const std::size_t at = log.find(text);
  if (at == std::string::npos) return "(none)";
  const std::size_t begin = log.rfind('\n', at);
  return log.substr(begin == std::string::npos ? 0 : begin + 1, 3);
}

e2e::Process::Options WithTelnet(int port) {
  e2e::Process::Options options;
  options.env["PELTHOLLOW_TELNET_PORT"] = std::to_string(port);
  return options;
}

TEST(ServerLogE2E, NoPasswordReachesTheLogHoweverItIsTyped) {
  const int telnetPort = e2e::FreePort();
  Server server(WithTelnet(telnetPort));
  ASSERT_TRUE(server.Ready()) << server.Log();
  Client ash(server.Port());
  ASSERT_TRUE(ash.ReadWelcome());
  ash.Send("setup Ashpaw moonstone she 8 warrior ember \" a cat \" - -");
  ASSERT_TRUE(ash.WaitForFrame("Character created"));
  ash.Close();

  Client c(server.Port());
  ASSERT_TRUE(c.ReadWelcome());
  struct Typed {
    std::string line;
    std::string answer;
  };
  const std::vector<Typed> typed = {
      {"login Oldtimer  hunter2", "Invalid username."},
      {"setup Typo  secretpw she/her 8 warrior ember \" a cat \" - -", kSetupFormat},
      {"login\tAshpaw SECRET-tab", "Unknown command."},
      {"Login Ashpaw SECRET-capital", "Unknown command."},
      {" login Ashpaw SECRET-leading", "Unknown command."},
      {"login Ashpaw\u00a0SECRET-nbsp", kLoginFormat},
      {"login\u3000Ashpaw SECRET-ideographic", "Unknown command."},
      {"login Ashpaw \"SECRET-quoted\"", "Incorrect password."},
      {"login Ashpaw", kLoginFormat},
      {"SECRET-own-line", "Unknown command."},
      {"login Ashpaw SECRET-long" + std::string(5000, 'x'), "Line too long."},
      {std::string("\xc2\x9b") + "31m", "Unknown command."},
  };
  for (const Typed& t : typed) EXPECT_EQ(c.Ask(t.line), t.answer) << t.line;

  // A line in two reads is one line, masked whole.
  Client other(server.Port());
  ASSERT_TRUE(other.ReadWelcome());
  c.SendRaw("login Ashpaw SECRET-");
  ASSERT_TRUE(other.Ask("help"));  // the first half has been read by now
  c.SendRaw(std::string("split") + '\0');
  EXPECT_EQ(c.NextFrame(), "Incorrect password.");

  // The same on the telnet port, whose lines end in CR LF.
  Client telnet(telnetPort);
  std::string received;
  std::size_t from = 0;
  ASSERT_TRUE(e2e::ReadUntil(telnet.Fd(), received, from, "commands.\r\n"));
  telnet.SendRaw("login Ashpaw SECRET-te");
  ASSERT_TRUE(other.Ask("help"));
  telnet.SendRaw("lnet\r\nLogin Ashpaw SECRET-telnet\r\nlogin Ashpaw\r\nSECRET-telnet-line\r\n");
  EXPECT_TRUE(e2e::ReadUntil(
      telnet.Fd(), received, from,
      "Incorrect password.\r\nUnknown command.\r\n" + kLoginFormat + "\r\nUnknown command.\r\n"))
      << received;

  c.Send("login Ashpaw moonstone");
  EXPECT_TRUE(c.WaitForFrame("Login successful."));
  ASSERT_TRUE(server.WaitForLog(" logged in as Ashpaw.\n"));
  const std::string log = server.Log();
  for (const std::string secret : {"hunter2", "secretpw", "SECRET", "moonstone"}) {
    EXPECT_EQ(log.find(secret), std::string::npos) << secret << " in\n" << log;
  }
  for (const std::string line :
       {" : login Oldtimer ***\n", " : setup ***\n", " : Login ***\n", " : login ***\n", " : ***\n",
        " : \\xc2\\x9b31m\n", " login as Oldtimer refused: unknown name.\n",
        " login as Ashpaw refused: wrong password (2 of 3).\n"}) {
    EXPECT_NE(log.find(line), std::string::npos) << line << " not in\n" << log;
  }
}

// Under journald (JOURNAL_STREAM names standard output) each line starts with its
// priority: failures are errors, refusals warnings.
TEST(ServerLogE2E, UnderJournaldEachLineCarriesItsPriority) {
  e2e::TempDir dir;
  const std::string journal = dir.File("journal");
  e2e::WriteFile(journal, "");
  struct stat about {};
  ASSERT_EQ(::stat(journal.c_str(), &about), 0);
  e2e::Process::Options options;
  options.outputFile = journal;
  options.env["JOURNAL_STREAM"] = std::to_string(about.st_dev) + ":" + std::to_string(about.st_ino);
  Server server(&dir, options);
  ASSERT_TRUE(server.Ready()) << server.Log();
  ASSERT_TRUE(server.WaitForLog("<6>Console at pelthollow.sock.\n"));
  Client c(server.Port());
  ASSERT_TRUE(c.ReadWelcome());
  EXPECT_EQ(c.Ask("login Nobody pw"), "Invalid username.");
  std::filesystem::create_directory(dir.File("savedata.phl.tmp"));  // the save fails
  e2e::Process::Options save;
  save.args = {"admin", "save"};
  e2e::Process admin(dir.Path(), server.Port(), save);
  EXPECT_EQ(e2e::Process::ExitCode(admin.Wait()), 1);
  EXPECT_TRUE(server.WaitForLog("<3>Error saving world: 21\n")) << server.Log();
  EXPECT_TRUE(server.WaitForLog(" login as Nobody refused: unknown name.\n"));
  EXPECT_TRUE(server.WaitForLog("Admin by "));
  const std::string log = server.Log();
  EXPECT_EQ(LineWith(log, " login as Nobody refused: unknown name."), "<4>");
  EXPECT_EQ(LineWith(log, "Admin by "), "<4>");  // its exit code 1
  EXPECT_EQ(LineWith(log, "Admin: save"), "<6>");
}

}  // namespace
