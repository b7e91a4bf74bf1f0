// The terminal client over TLS against the real server's TLS twin of the game port, with
// certificates made by the test: play in line mode and on a terminal, and the servers it
// must refuse to talk to.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "harness/tls_certs.h"
#include "pty_client.h"

namespace {

using namespace e2e;
using namespace std::string_literals;

constexpr char kStarted[] = "Enter a server to connect to: Starting client...\n";

class ClientTls : public ::testing::Test {
 protected:
  // Starts a server whose TLS port shows a certificate for `names`, signed by authority_.
  void StartServer(const std::vector<std::string>& names = {"localhost", "127.0.0.1", "::1"}) {
    ASSERT_TRUE(authority_.Ok());
    const harness::IssuedCertificate issued = authority_.Issue("server", names);
    ASSERT_FALSE(issued.keyFile.empty());
    tlsPort_ = e2e::FreePort();
    e2e::Process::Options options;
    options.env = {{"PELTHOLLOW_TLS_PORT", std::to_string(tlsPort_)},
                   {"PELTHOLLOW_TLS_CERT", issued.certificateFile},
                   {"PELTHOLLOW_TLS_KEY", issued.keyFile}};
    server_ = std::make_unique<e2e::Server>(options);
    ASSERT_TRUE(server_->Ready()) << server_->Log();
    ASSERT_TRUE(server_->WaitForLog("Game port over TLS on port " + std::to_string(tlsPort_) + "."))
        << server_->Log();
  }

  std::string TlsAnswer(const std::string& host) const {
    return "tls://" + host + ":" + std::to_string(tlsPort_);
  }

  // Runs the client in line mode on `input`, trusting `caFile`; its exit code.
  int RunClient(const std::string& input, const std::string& caFile) {
    e2e::Process::Options options;
    options.args = {"client"};
    options.env = {{"PELTHOLLOW_TLS_CA", caFile}};
    options.stdinText = input;
    e2e::Process client(dir_.Path(), server_->Port(), options);
    const int code = e2e::Process::ExitCode(client.Wait());
    EXPECT_TRUE(client.WaitForEndOfOutput());
    output_ = client.Output();
    return code;
  }

  e2e::TempDir dir_{"pelthollow-client-tls"};
  harness::TestAuthority authority_{dir_.Path()};
  int tlsPort_ = 0;
  std::unique_ptr<e2e::Server> server_;
  std::string output_;
};

TEST_F(ClientTls, LineModeGetsTheAnswersAndEndsWithCloseNotify) {
  StartServer();
  EXPECT_EQ(RunClient(TlsAnswer("localhost") + "\nhelp\n", authority_.CaFile()), 0) << output_;
  EXPECT_EQ(output_, kStarted + "Connected to server.\n"s + kWelcome +
                         "\nhelp\tdisplays this message\nsetup\tcreates a character\n" +
                         kLoginHelp + "\n");
  // The client's close_notify came before its socket's end: a clean close, no cut.
  EXPECT_TRUE(server_->WaitForLog(" ended: closed by the client\n")) << server_->Log();
}

TEST_F(ClientTls, AScreenPlaysOverTlsAndHearsTheServersClose) {
  StartServer();
  Prompted p(server_->Port(), "xterm", {"PELTHOLLOW_TLS_CA=" + authority_.CaFile()});
  ASSERT_TRUE(p.ready) << p.client.Output();
  p.client.Type(TlsAnswer("[::1]") + "\n");
  ASSERT_TRUE(p.client.WaitForOutput(kWelcome)) << p.client.Output();
  p.client.Type("help\r");
  ASSERT_TRUE(p.client.WaitForOutput(kLoginHelp)) << p.client.Output();
  const std::size_t before = p.client.Output().size();
  server_->Proc().Signal(SIGTERM);  // its close_notify before it exits: a close, no cut
  ASSERT_TRUE(p.client.WaitForOutput("Connection closed by server.\r\n", before))
      << p.client.Output();
  EXPECT_EQ(e2e::Process::ExitCode(p.client.Wait()), 0);
  EXPECT_TRUE(SameSettings(p.client.Settings(), p.before));
}

// ---- Servers the client refuses -------------------------------------------------------

TEST_F(ClientTls, ACertificateFromAnotherAuthorityIsRefused) {
  StartServer();
  const harness::TestAuthority other(dir_.Path(), "Another CA", "other-ca");
  ASSERT_TRUE(other.Ok());
  EXPECT_EQ(RunClient(TlsAnswer("localhost") + "\nhelp\n", other.CaFile()), 1);
  EXPECT_EQ(output_, kStarted +
                         "Error verifying the server: certificate verify failed: unable to get "
                         "local issuer certificate\nThe authority in "s +
                         other.CaFile() + " did not sign the server's certificate.\n");
  EXPECT_TRUE(server_->WaitForLog("ended: TLS: alert from the peer: unknown CA")) << server_->Log();
}

TEST_F(ClientTls, ACertificateForAnotherNameIsRefused) {
  StartServer({"pelthollow.example"});
  EXPECT_EQ(RunClient(TlsAnswer("127.0.0.1") + "\n", authority_.CaFile()), 1);
  EXPECT_EQ(output_, kStarted +
                         "Error verifying the server: certificate verify failed: IP address "
                         "mismatch\nThe server's certificate is not for 127.0.0.1.\n"s);
  EXPECT_EQ(RunClient(TlsAnswer("localhost") + "\n", authority_.CaFile()), 1);
  EXPECT_EQ(output_, kStarted +
                         "Error verifying the server: certificate verify failed: hostname "
                         "mismatch\nThe server's certificate is not for localhost.\n"s);
}

TEST_F(ClientTls, APlainPortIsRefusedInWords) {
  StartServer();
  const std::string plain = "tls://localhost:" + std::to_string(server_->Port());
  EXPECT_EQ(RunClient(plain + "\nhelp\n", authority_.CaFile()), 1);
  EXPECT_EQ(output_, kStarted +
                         "Error connecting over TLS: wrong version number\nThe server does not "
                         "speak TLS on this port; for a plain port, answer without tls://.\n"s);
}

}  // namespace
