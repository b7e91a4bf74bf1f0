// Files swapped for something that is no regular file while the server runs: nothing
// the server reads may stop it, and the old contents stay in use.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdio>
#include <string>

#include "e2e_support.h"
#include "harness/tls_certs.h"

namespace {

using e2e::Client;
using e2e::Process;
using e2e::Server;
using namespace std::chrono_literals;

// `rm cert.pem && mkfifo cert.pem` under a server with a TLS port: a blocking open would
// wait, with the world's lock held, for a writer that never comes.
TEST(NonRegularFiles, AFifoAtTheCertificatePathStopsNobody) {
  e2e::TempDir dir;
  harness::TestAuthority authority(dir.Path());
  const harness::IssuedCertificate certificate = authority.Issue("server");
  ASSERT_FALSE(certificate.certificateFile.empty());
  Process::Options options;
  options.env["PELTHOLLOW_TLS_PORT"] = std::to_string(e2e::FreePort());
  options.env["PELTHOLLOW_TLS_CERT"] = certificate.certificateFile;
  options.env["PELTHOLLOW_TLS_KEY"] = certificate.keyFile;
  Server server(&dir, options);
  ASSERT_TRUE(server.Ready() && server.WaitForLog("Game port over TLS on port ")) << server.Log();
  Client ash(server.Port());
  ASSERT_TRUE(ash.ReadWelcome());
  ASSERT_EQ(ash.Ask("setup Ash pw she 12 warrior ember \" a grey cat \" - -")->substr(0, 17), "Character created");

  const std::size_t mark = server.Log().size();
  ASSERT_EQ(std::remove(certificate.certificateFile.c_str()), 0);
  ASSERT_EQ(::mkfifo(certificate.certificateFile.c_str(), 0600), 0);
  EXPECT_TRUE(server.Proc().WaitForOutput("The new TLS certificate did not load, the old one stays: TLS certificate file " +
                                              certificate.certificateFile + " is a FIFO, not a regular file\n",
                                          12s, mark))
      << server.Log();
  EXPECT_EQ(ash.Ask("time").value_or("").substr(0, 6), "It is ");

  server.Proc().Signal(SIGINT);
  EXPECT_EQ(Process::ExitCode(server.Proc().Wait()), 0) << server.Log();
}

}  // namespace
