#include "tls/tls_server.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <memory>
#include <string>

#include "harness/folder.h"
#include "harness/tls_certs.h"
#include "tls/tls_client.h"

namespace {

using State = tls::Session::State;

class TlsContextTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(authority_.Ok());
    ASSERT_FALSE(first_.keyFile.empty());
  }

  // Connects a ClientSession for `host` to a new session of `context` and sends a line
  // each way over it; true when both arrived.
  bool Talk(tls::ServerSession& server, tls::ClientSession& client) {
    std::string serverRead, clientRead;
    client.Send("north");
    server.Send("You go north.");
    for (int round = 0; round < 10; ++round) {
      std::string toServer, toClient;
      client.TakeOutput(toServer);
      server.Receive(toServer, serverRead);
      server.TakeOutput(toClient);
      client.Receive(toClient, clientRead);
    }
    return serverRead == "north" && clientRead == "You go north.";
  }
  std::unique_ptr<tls::ClientSession> Client(const std::string& host) {
    std::unique_ptr<tls::ClientSession> client;
    EXPECT_TRUE(tls::ClientSession::Make({host, authority_.CaFile()}, client).ok());
    return client;
  }

  harness::TempDir dir_{"pelthollow-tls"};
  harness::TestAuthority authority_{dir_.Path()};
  harness::IssuedCertificate first_ = authority_.Issue("first");
};

TEST_F(TlsContextTest, ReloadsChangedFilesWhileOldSessionsGoOn) {
  std::shared_ptr<const tls::ServerContext> context;
  ASSERT_TRUE(tls::ServerContext::Load({first_.certificateFile, first_.keyFile, {}}, context).ok());
  EXPECT_FALSE(context->Changed());
  tls::ServerSession old(context);
  auto oldClient = Client("localhost");
  ASSERT_TRUE(Talk(old, *oldClient));

  // The new pair is moved into place one file at a time, as a renewal does.
  const harness::IssuedCertificate second = authority_.Issue("second", {"second.example"});
  ASSERT_EQ(std::rename(second.certificateFile.c_str(), first_.certificateFile.c_str()), 0);
  EXPECT_TRUE(context->Changed());
  std::shared_ptr<const tls::ServerContext> fresh;
  EXPECT_FALSE(context->Reload(fresh).ok());
  EXPECT_EQ(fresh, nullptr);
  ASSERT_EQ(std::rename(second.keyFile.c_str(), first_.keyFile.c_str()), 0);
  ASSERT_TRUE(context->Reload(fresh).ok());
  EXPECT_FALSE(fresh->Changed());

  context = fresh;  // the old context lives on in its session
  EXPECT_TRUE(Talk(old, *oldClient));
  tls::ServerSession renewed(context);
  auto newClient = Client("second.example");
  EXPECT_TRUE(Talk(renewed, *newClient)) << newClient->Failure();
}

// ---- Error paths ----

TEST_F(TlsContextTest, LoadFailsNamingTheFileAndTheReason) {
  const harness::IssuedCertificate other = authority_.Issue("other");
  std::shared_ptr<const tls::ServerContext> context;
  const std::string missing = dir_.File("missing.pem");

  base::Status status = tls::ServerContext::Load({missing, first_.keyFile, {}}, context);
  EXPECT_EQ(status.what(),
            "Error reading TLS certificate file " + missing + ": No such file or directory (2)");
  status = tls::ServerContext::Load({first_.certificateFile, missing, {}}, context);
  EXPECT_EQ(status.what(), "Error reading TLS key file " + missing + ": No such file or directory (2)");

  status = tls::ServerContext::Load({first_.keyFile, first_.keyFile, {}}, context);
  EXPECT_EQ(status.what().rfind(
                "TLS certificate file " + first_.keyFile + " holds no PEM certificate: ", 0),
            0u)
      << status.what();
  status = tls::ServerContext::Load({first_.certificateFile, first_.certificateFile, {}}, context);
  EXPECT_EQ(
      status.what().rfind(
          "TLS key file " + first_.certificateFile + " holds no unencrypted PEM private key: ", 0),
      0u)
      << status.what();

  status = tls::ServerContext::Load({first_.certificateFile, other.keyFile, {}}, context);
  EXPECT_EQ(status.what(), "TLS key file " + other.keyFile + " does not match the certificate in " +
                               first_.certificateFile);
  EXPECT_EQ(context, nullptr);
}

}  // namespace
