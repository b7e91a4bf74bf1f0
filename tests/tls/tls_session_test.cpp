#include "tls/tls_session.h"

#include <gtest/gtest.h>
#include <malloc.h>
#include <openssl/ssl.h>

#include <memory>
#include <string>
#include <vector>

#include "harness/folder.h"
#include "harness/tls_certs.h"
#include "tls/tls_client.h"
#include "tls/tls_server.h"

namespace {

using State = tls::Session::State;

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitized = true;
#elif defined(__has_feature)
constexpr bool kSanitized = __has_feature(address_sanitizer) || __has_feature(thread_sanitizer);
#else
constexpr bool kSanitized = false;
#endif

// A client of plain OpenSSL over memory BIOs, for what our ClientSession never does:
// speak TLS 1.1, offer other suites, renegotiate, offer ALPN.
class RawClient {
 public:
  explicit RawClient(int maxVersion, std::string_view alpnWire = {},
                     const char* ciphers = nullptr) {
    ctx_ = SSL_CTX_new(TLS_client_method());
    SSL_CTX_set_max_proto_version(ctx_, maxVersion);
    if (maxVersion < TLS1_2_VERSION) {
      SSL_CTX_set_min_proto_version(ctx_, maxVersion);
      SSL_CTX_set_cipher_list(ctx_, "DEFAULT@SECLEVEL=0");
    }
    if (ciphers != nullptr) SSL_CTX_set_cipher_list(ctx_, ciphers);
    ssl_ = SSL_new(ctx_);
    in_ = BIO_new(BIO_s_mem());
    out_ = BIO_new(BIO_s_mem());
    SSL_set_bio(ssl_, in_, out_);
    SSL_set_connect_state(ssl_);
    if (!alpnWire.empty()) {
      SSL_set_alpn_protos(ssl_, reinterpret_cast<const unsigned char*>(alpnWire.data()),
                          static_cast<unsigned>(alpnWire.size()));
    }
    SSL_do_handshake(ssl_);
  }
  ~RawClient() {
    SSL_free(ssl_);
    SSL_CTX_free(ctx_);
  }

  void Receive(std::string_view bytes, std::string& plaintext) {
    BIO_write(in_, bytes.data(), static_cast<int>(bytes.size()));
    char buffer[4096];
    int n;
    while ((n = SSL_read(ssl_, buffer, sizeof buffer)) > 0) plaintext.append(buffer, n);
  }
  void TakeOutput(std::string& out) {
    char buffer[4096];
    int n;
    while ((n = BIO_read(out_, buffer, sizeof buffer)) > 0) out.append(buffer, n);
  }
  void Renegotiate() {
    SSL_renegotiate(ssl_);
    SSL_do_handshake(ssl_);
  }
  bool Done() const { return SSL_is_init_finished(ssl_); }

 private:
  SSL_CTX* ctx_;
  SSL* ssl_;
  BIO* in_;
  BIO* out_;
};

class TlsSessionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(authority_.Ok());
    ASSERT_FALSE(issued_.keyFile.empty());
    ASSERT_TRUE(
        tls::ServerContext::Load({issued_.certificateFile, issued_.keyFile, {}}, context_).ok());
  }

  std::unique_ptr<tls::ClientSession> Client(const std::string& host = "localhost") {
    std::unique_ptr<tls::ClientSession> client;
    EXPECT_TRUE(tls::ClientSession::Make({host, authority_.CaFile()}, client).ok());
    return client;
  }
  std::unique_ptr<tls::ServerSession> Server() {
    return std::make_unique<tls::ServerSession>(context_);
  }

  // Carries each side's output to the other until neither has any; what each reads is
  // appended to its text.
  template <class A, class B>
  void Pump(A& client, B& server) {
    for (int round = 0; round < 20; ++round) {
      std::string toServer, toClient;
      client.TakeOutput(toServer);
      if (!toServer.empty()) server.Receive(toServer, serverRead_);
      server.TakeOutput(toClient);
      if (!toClient.empty()) client.Receive(toClient, clientRead_);
      if (toServer.empty() && toClient.empty()) return;
    }
    ADD_FAILURE() << "the sessions never went quiet";
  }

  harness::TempDir dir_{"pelthollow-tls"};
  harness::TestAuthority authority_{dir_.Path()};
  harness::IssuedCertificate issued_ = authority_.Issue("server");
  std::shared_ptr<const tls::ServerContext> context_;
  std::string serverRead_;
  std::string clientRead_;
};

TEST_F(TlsSessionTest, HandshakesCarriesDataBothWaysAndClosesCleanly) {
  auto client = Client();
  auto server = Server();
  server->Send("welcome\n");  // before the handshake: waits for it
  Pump(*client, *server);
  ASSERT_EQ(server->state(), State::kOpen) << server->Failure();
  ASSERT_EQ(client->state(), State::kOpen) << client->Failure();
  EXPECT_EQ(server->Version(), "TLSv1.3");
  EXPECT_EQ(server->Cipher(), client->Cipher());
  EXPECT_EQ(server->Alpn(), "");
  EXPECT_EQ(clientRead_, "welcome\n");

  client->Send("look\n");
  server->Send(std::string(40000, 'x'));  // more than one record
  Pump(*client, *server);
  EXPECT_EQ(serverRead_, "look\n");
  EXPECT_EQ(clientRead_, std::string("welcome\n").append(40000, 'x'));

  client->Close();
  Pump(*client, *server);
  EXPECT_TRUE(server->PeerClosed());
  EXPECT_EQ(server->state(), State::kClosed);
  server->Send("answer");  // a close ends one direction: the answer still reaches the client
  server->Close();         // then its own close_notify
  Pump(*client, *server);
  EXPECT_TRUE(client->PeerClosed());
  EXPECT_EQ(clientRead_, std::string("welcome\n").append(40000, 'x') + "answer");
  server->ReceiveEnd();
  client->ReceiveEnd();
  EXPECT_EQ(server->state(), State::kClosed);
  EXPECT_EQ(client->state(), State::kClosed);
}

// Each cut of the client's ClientHello, of the server's first flight (sampled past its
// first 64 bytes: each cut costs a handshake) and of a data record gives the same session.
TEST_F(TlsSessionTest, EveryCutOfTheStreamGivesTheSameSession) {
  // Connects a new pair, the ClientHello (or else the server's first flight) given in
  // two pieces cut at `cut`; false when it is shorter than that.
  const auto connectCutting = [&](bool cutTheClientHello, std::size_t cut) {
    auto client = Client();
    auto server = Server();
    std::string bytes;
    client->TakeOutput(bytes);
    tls::Session* to = server.get();
    std::string* read = &serverRead_;
    if (!cutTheClientHello) {
      server->Receive(bytes, serverRead_);
      bytes.clear();
      server->TakeOutput(bytes);
      to = client.get();
      read = &clientRead_;
    }
    if (cut > bytes.size()) return false;
    to->Receive(std::string_view(bytes).substr(0, cut), *read);
    to->Receive(std::string_view(bytes).substr(cut), *read);
    client->Send("ping");
    server->Send("pong");
    Pump(*client, *server);
    EXPECT_EQ(serverRead_, "ping") << "cut at " << cut << " of " << bytes.size();
    EXPECT_EQ(clientRead_, "pong") << "cut at " << cut << " of " << bytes.size();
    serverRead_.clear();
    clientRead_.clear();
    return true;
  };
  for (std::size_t cut = 0; connectCutting(true, cut); ++cut) {
  }
  for (std::size_t cut = 0; connectCutting(false, cut); cut += cut < 64 ? 1 : 11) {
  }

  auto client = Client();
  auto server = Server();
  Pump(*client, *server);
  const std::string text = "say the same thing however it is cut";
  for (std::size_t cut = 0;; ++cut) {
    std::string records;
    client->Send(text);
    client->Send(text);  // two records
    client->TakeOutput(records);
    if (cut > records.size()) break;
    server->Receive(std::string_view(records).substr(0, cut), serverRead_);
    server->Receive(std::string_view(records).substr(cut), serverRead_);
    ASSERT_EQ(serverRead_, text + text) << "cut at " << cut;
    serverRead_.clear();
  }
}

TEST_F(TlsSessionTest, OffersAlpnToClientsThatAskAndServesThoseThatDoNot) {
  ASSERT_TRUE(
      tls::ServerContext::Load({issued_.certificateFile, issued_.keyFile, {"http/1.1"}}, context_)
          .ok());
  RawClient browser(TLS1_3_VERSION, "\x02h2\x08http/1.1");
  auto server = Server();
  Pump(browser, *server);
  EXPECT_EQ(server->Alpn(), "http/1.1");

  auto plain = Client();
  auto other = Server();
  Pump(*plain, *other);
  EXPECT_EQ(other->state(), State::kOpen);
  EXPECT_EQ(other->Alpn(), "");
}

// ---- Error paths ----

TEST_F(TlsSessionTest, GarbageInsteadOfAClientHelloFails) {
  const std::pair<std::string, std::string> cases[] = {
      {"GET / HTTP/1.1\r\nHost: x\r\n\r\n", "http request"}, {"look\r\n", "wrong version number"}};
  for (const auto& [garbage, reason] : cases) {
    auto server = Server();
    std::string out;
    server->Receive(garbage, out);
    EXPECT_EQ(server->state(), State::kFailed) << garbage;
    EXPECT_EQ(server->Failure(), reason);
    EXPECT_EQ(out, "");
    server->Receive("more", out);  // ignored
    EXPECT_EQ(out, "");
  }
  // A handshake record that would never end is refused at the handshake's limit.
  auto server = Server();
  std::string endless = "\x16\x03\x01\x40\x00\x01\x00\x40\x00";
  endless += std::string(3 * tls::kMaxServerHandshakeBytes, '\0');
  server->Receive(endless, serverRead_);
  EXPECT_EQ(server->state(), State::kFailed);
  EXPECT_EQ(server->Failure(), "the handshake went past its byte limit");
}

TEST_F(TlsSessionTest, AClientHelloCutShortThenThePeerGoneFails) {
  auto client = Client();
  auto server = Server();
  std::string hello;
  client->TakeOutput(hello);
  server->Receive(std::string_view(hello).substr(0, hello.size() / 2), serverRead_);
  EXPECT_EQ(server->state(), State::kHandshake);
  server->ReceiveEnd();
  EXPECT_EQ(server->state(), State::kFailed);
  EXPECT_EQ(server->Failure(), "the peer left during the handshake");

  auto cut = Client();
  auto open = Server();
  Pump(*cut, *open);
  open->ReceiveEnd();
  EXPECT_EQ(open->Failure(), "the connection was cut without close_notify");
}

TEST_F(TlsSessionTest, RefusesTls11AndSuitesOutsideTheList) {
  RawClient old(TLS1_1_VERSION);
  auto server = Server();
  Pump(old, *server);
  EXPECT_EQ(server->state(), State::kFailed);
  EXPECT_EQ(server->Failure(), "unsupported protocol");
  EXPECT_FALSE(old.Done());

  RawClient weak(TLS1_2_VERSION, {}, "ECDHE-ECDSA-AES128-SHA");
  auto other = Server();
  Pump(weak, *other);
  EXPECT_EQ(other->Failure(), "no shared cipher");
}

TEST_F(TlsSessionTest, RefusesRenegotiationOnTls12) {
  RawClient client(TLS1_2_VERSION);
  auto server = Server();
  Pump(client, *server);
  ASSERT_EQ(server->state(), State::kOpen);
  EXPECT_EQ(server->Version(), "TLSv1.2");
  client.Renegotiate();
  Pump(client, *server);
  EXPECT_EQ(server->state(), State::kFailed);
  EXPECT_EQ(server->Failure(), "renegotiation attempt refused");
}

TEST_F(TlsSessionTest, ClientRefusesAnotherAuthorityAndAnotherName) {
  harness::TestAuthority stranger(dir_.Path(), "Stranger CA", "stranger");
  std::unique_ptr<tls::ClientSession> client;
  ASSERT_TRUE(tls::ClientSession::Make({"localhost", stranger.CaFile()}, client).ok());
  auto server = Server();
  Pump(*client, *server);
  EXPECT_EQ(client->Failure(), "certificate verify failed: unable to get local issuer certificate");
  EXPECT_EQ(server->Failure(), "alert from the peer: unknown CA");
  EXPECT_EQ(clientRead_, "");

  auto wrongName = Client("pelthollow.example");
  auto second = Server();
  Pump(*wrongName, *second);
  EXPECT_EQ(wrongName->Failure(), "certificate verify failed: hostname mismatch");

  auto byAddress = Client("[::1]");
  auto third = Server();
  Pump(*byAddress, *third);
  EXPECT_EQ(byAddress->state(), State::kOpen) << byAddress->Failure();
  auto wrongAddress = Client("192.0.2.1");
  auto fourth = Server();
  Pump(*wrongAddress, *fourth);
  EXPECT_EQ(wrongAddress->Failure(), "certificate verify failed: IP address mismatch");
}

// An idle server session gives its record buffers back: under 16 KiB each, where
// OpenSSL's own object is 7.4 KiB and each buffer it would keep 17 KiB.
TEST_F(TlsSessionTest, AnIdleSessionHoldsLittleMemory) {
  if (kSanitized) GTEST_SKIP() << "the sanitizer's allocator keeps its own books";
  constexpr std::size_t kSessions = 64;
  {
    auto client = Client();  // OpenSSL fills its tables on first use
    auto server = Server();
    Pump(*client, *server);
  }
  const std::size_t before = mallinfo2().uordblks;
  std::vector<std::unique_ptr<tls::ServerSession>> servers;
  for (std::size_t i = 0; i < kSessions; ++i) {
    auto client = Client();
    servers.push_back(Server());
    client->Send("hello");
    servers.back()->Send("hello");
    Pump(*client, *servers.back());
    ASSERT_EQ(servers.back()->state(), State::kOpen);
  }
  const std::size_t perSession = (mallinfo2().uordblks - before) / kSessions;
  EXPECT_LT(perSession, 16u * 1024);
}

}  // namespace
