#include "connection/tls_transport.h"

#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>

#include "harness/folder.h"
#include "harness/tls_certs.h"
#include "tls/handshake_threads.h"
#include "tls/tls_client.h"

namespace {

using connection::IoState;

// Everything waiting on `fd` now.
std::string ReadWaiting(int fd) {
  std::string bytes;
  char buffer[16 * 1024];
  ssize_t got;
  while ((got = ::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT)) > 0) bytes.append(buffer, got);
  return bytes;
}

// A client that sends its Finished, a line and its close_notify at once (a script that
// pipes its lines in) has the server read all three in one go: the line is still the
// codec's, and the answer still reaches the client.
TEST(TlsTransportTest, ALineThatCameWithTheHandshakesEndAndTheCloseIsServed) {
  harness::TempDir dir("pelthollow-tls-transport");
  harness::TestAuthority authority(dir.Path());
  const harness::IssuedCertificate issued = authority.Issue("server");
  std::shared_ptr<const tls::ServerContext> context;
  ASSERT_TRUE(tls::ServerContext::Load({issued.certificateFile, issued.keyFile, {}}, context).ok());
  std::unique_ptr<tls::ClientSession> client;
  ASSERT_TRUE(tls::ClientSession::Make({"localhost", authority.CaFile()}, client).ok());
  int ends[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, ends), 0);
  const auto transport = connection::MakeTlsTransport(context);

  std::string hello, served, heard;
  client->TakeOutput(hello);
  EXPECT_EQ(transport->Take(ends[0], hello, served).state, IoState::Done);
  client->Receive(ReadWaiting(ends[1]), heard);  // the server's flight
  ASSERT_TRUE(client->HandshakeDone()) << client->Failure();
  client->Send("look");
  client->Close();
  std::string last;
  client->TakeOutput(last);
  EXPECT_EQ(transport->Take(ends[0], last, served).state, IoState::Closed);
  EXPECT_TRUE(transport->Ready());
  EXPECT_EQ(served, "look");
  EXPECT_EQ(transport->Send(ends[0], "answer").bytes, 6u);
  client->Receive(ReadWaiting(ends[1]), heard);
  EXPECT_EQ(heard, "answer");
  ::close(ends[0]);
  ::close(ends[1]);
}

// The costly step of a handshake on a handshake thread: while it is out the transport
// is not ready, sends nothing of the session's and holds what the client sends; its
// wake brings the server's flight back through Resume, and the client's Finished, taken
// at once, makes it ready. A transport dropped while its step is out (its connection
// ended) leaves the step to finish on its own.
TEST(TlsTransportTest, TheHandshakesCostlyStepRunsOnAHandshakeThreadAndComesBackThroughResume) {
  harness::TempDir dir("pelthollow-tls-transport");
  harness::TestAuthority authority(dir.Path());
  const harness::IssuedCertificate issued = authority.Issue("server");
  std::shared_ptr<const tls::ServerContext> context;
  ASSERT_TRUE(tls::ServerContext::Load({issued.certificateFile, issued.keyFile, {}}, context).ok());
  tls::HandshakeThreads threads(1);
  std::mutex mutex;
  std::condition_variable woken;
  int wakes = 0;  // guarded by mutex
  auto wake = [&] {
    std::lock_guard<std::mutex> guard(mutex);
    ++wakes;
    woken.notify_all();
  };
  auto waitForWakes = [&](int count) {
    std::unique_lock<std::mutex> lock(mutex);
    return woken.wait_for(lock, std::chrono::seconds(10), [&] { return wakes >= count; });
  };
  int ends[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, ends), 0);
  std::unique_ptr<tls::ClientSession> client;
  ASSERT_TRUE(tls::ClientSession::Make({"localhost", authority.CaFile()}, client).ok());
  auto transport = connection::MakeTlsTransport(context, &threads);
  transport->SetWake(wake);

  std::string hello, served, heard;
  client->TakeOutput(hello);
  EXPECT_EQ(transport->Take(ends[0], hello.substr(0, 10), served).state, IoState::Done);
  EXPECT_EQ(transport->Take(ends[0], hello.substr(10), served).state, IoState::Done);  // held
  EXPECT_FALSE(transport->Ready());
  EXPECT_EQ(transport->Send(ends[0], "early").state, IoState::WouldBlock);
  ASSERT_TRUE(waitForWakes(1));
  EXPECT_EQ(transport->Resume(ends[0], served).state, IoState::Done);  // and the rest, held
  ASSERT_TRUE(waitForWakes(2));
  EXPECT_EQ(transport->Resume(ends[0], served).state, IoState::Done);
  client->Receive(ReadWaiting(ends[1]), heard);  // the server's flight, sent by Resume
  ASSERT_TRUE(client->HandshakeDone()) << client->Failure();
  client->Send("look");
  std::string finished;
  client->TakeOutput(finished);
  EXPECT_EQ(transport->Take(ends[0], finished, served).state, IoState::Done);
  EXPECT_TRUE(transport->Ready());
  EXPECT_EQ(served, "look");

  auto dropped = connection::MakeTlsTransport(context, &threads);
  dropped->SetWake(wake);
  std::unique_ptr<tls::ClientSession> other;
  ASSERT_TRUE(tls::ClientSession::Make({"localhost", authority.CaFile()}, other).ok());
  std::string otherHello;
  other->TakeOutput(otherHello);
  EXPECT_EQ(dropped->Take(ends[0], otherHello, served).state, IoState::Done);
  dropped.reset();
  EXPECT_TRUE(waitForWakes(3));
  ::close(ends[0]);
  ::close(ends[1]);
}

}  // namespace
