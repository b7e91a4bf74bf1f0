#include "client/link.h"

#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>
#include <utility>

namespace client {

namespace {

using State = tls::Session::State;
using Clock = std::chrono::steady_clock;

constexpr std::string_view kVerifyFailed = "certificate verify failed";

bool Says(std::string_view why, std::string_view what) {
  return why.find(what) != std::string_view::npos;
}

// Why the server's certificate was refused, in words. `why` is the session's failure.
std::string VerifyWords(std::string_view why, const tls::ClientOptions& options) {
  if (Says(why, "hostname mismatch") || Says(why, "IP address mismatch")) {
    return "The server's certificate is not for " + options.host + ".";
  }
  if (Says(why, "certificate has expired")) return "The server's certificate has expired.";
  if (Says(why, "not yet valid")) return "The server's certificate is not valid yet.";
  if (Says(why, "issuer") || Says(why, "self-signed") || Says(why, "self signed")) {
    if (options.caFile.empty()) {
      return "No authority this system trusts signed the server's certificate; "
             "PELTHOLLOW_TLS_CA may name the CA file to trust instead.";
    }
    return "The authority in " + options.caFile + " did not sign the server's certificate.";
  }
  return "The server's certificate cannot be trusted.";
}

// Why a handshake failed before any certificate was looked at, in words.
std::string HandshakeWords(std::string_view why) {
  // What OpenSSL makes of bytes that are no TLS record (a plain port's welcome).
  if (Says(why, "wrong version number") || Says(why, "packet length too long") ||
      Says(why, "record layer failure")) {
    return "The server does not speak TLS on this port; for a plain port, answer without tls://.";
  }
  if (Says(why, "the peer left")) return "The server closed the connection before TLS was set up.";
  if (Says(why, "alert from the peer")) return "The server refused the TLS handshake.";
  return "The TLS handshake with the server failed.";
}

// A session that could not be made, in words.
std::string SetupWords(const base::Status& status, const tls::ClientOptions& options) {
  if (status.error() != 0) return std::strerror(status.error());
  if (options.caFile.empty()) {
    return "Without the system's trust store no server can be verified; "
           "PELTHOLLOW_TLS_CA may name a CA file to trust instead.";
  }
  return "PELTHOLLOW_TLS_CA must name a PEM file of the authorities to trust.";
}

}  // namespace

Link::Link(core::Socket socket) : socket_(socket) {}

Link::Link(core::Socket socket, std::unique_ptr<tls::ClientSession> session, std::string early)
    : socket_(socket), session_(std::move(session)), early_(std::move(early)) {}

Link::~Link() {
  net::CloseSocket(socket_);
}

base::Status MakeTlsSession(const tls::ClientOptions& options,
                            std::unique_ptr<tls::ClientSession>& session, std::string& words) {
  const base::Status made = tls::ClientSession::Make(options, session);
  if (!made.ok()) words = SetupWords(made, options);
  return made;
}

base::Status Link::StartTls(core::Socket socket, std::unique_ptr<tls::ClientSession> session,
                            const tls::ClientOptions& options, std::unique_ptr<Link>& link,
                            std::string& words) {
  const auto fail = [&](base::Status status, std::string said) {
    net::CloseSocket(socket);
    words = std::move(said);
    return status;
  };
  const Clock::time_point deadline = Clock::now() + kHandshakeTimeout;
  std::string early;  // plaintext the server sent right behind its last handshake record
  char buffer[16 * 1024];
  for (;;) {
    // The session's records go first: an alert tells the server why we give up.
    std::string records;
    session->TakeOutput(records);
    if (const base::Status sent = records.empty() ? base::Status() : net::SendAll(socket, records); !sent.ok()) {
      return fail(sent.WithWhat("Error sending data: "), std::strerror(sent.error()));
    }
    if (session->state() == State::kOpen) break;
    if (session->state() != State::kHandshake) {
      const std::string& why = session->Failure();
      if (why.find(kVerifyFailed) != std::string::npos) {
        return fail(base::Status::Failure("Error verifying the server: " + why),
                    VerifyWords(why, options));
      }
      return fail(base::Status::Failure("Error connecting over TLS: " + why), HandshakeWords(why));
    }
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    pollfd wait{socket, POLLIN, 0};
    const int ready = left > 0 ? ::poll(&wait, 1, static_cast<int>(left)) : 0;
    if (ready < 0 && errno == EINTR) continue;
    if (ready == 0) {
      return fail(base::Status::Failure("Error connecting over TLS: the handshake took over " +
                                        std::to_string(kHandshakeTimeout.count()) + " s"),
                  "The server did not finish the TLS handshake.");
    }
    const ssize_t got = ::recv(socket, buffer, sizeof buffer, 0);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) {
      const int failed = errno;
      return fail(base::Status::SystemError("Error getting data: ", failed), std::strerror(failed));
    }
    if (got == 0) {
      session->ReceiveEnd();
    } else {
      session->Receive(std::string_view(buffer, static_cast<std::size_t>(got)), early);
    }
  }
  link.reset(new Link(socket, std::move(session), std::move(early)));
  return {};
}

ReceiveEnd Link::Receive(std::string& plain) {
  if (session_ != nullptr) {
    std::lock_guard<std::mutex> guard(sessionMutex_);
    if (!early_.empty()) {
      plain += early_;
      std::string().swap(early_);
      return {};
    }
  }
  char buffer[16 * 1024];
  ssize_t got = 0;
  do {
    got = ::recv(socket_, buffer, sizeof buffer, 0);
  } while (got < 0 && errno == EINTR);
  if (got < 0) return {true, errno, {}};
  if (session_ == nullptr) {
    if (got == 0) return {true, 0, {}};
    plain.append(buffer, static_cast<std::size_t>(got));
    return {};
  }

  ReceiveEnd end;
  bool answered = false;  // the session made records of its own (a key update's answer)
  {
    std::lock_guard<std::mutex> guard(sessionMutex_);
    if (got == 0) {
      session_->ReceiveEnd();
    } else {
      session_->Receive(std::string_view(buffer, static_cast<std::size_t>(got)), plain);
    }
    session_->TakeOutput(pending_);
    answered = !pending_.empty();
    if (session_->state() == State::kFailed) {
      end = {true, 0, session_->Failure()};
    } else if (got == 0 || session_->PeerClosed()) {
      end = {true, 0, {}};
    }
  }
  if (answered) {
    std::lock_guard<std::mutex> sending(sendMutex_);
    WritePending(true);
  }
  return end;
}

void Link::Send(std::string_view bytes) {
  std::lock_guard<std::mutex> sending(sendMutex_);
  if (session_ == nullptr) {
    net::SendAll(socket_, bytes);  // a failed write shows as the end of receiving
    return;
  }
  {
    std::lock_guard<std::mutex> guard(sessionMutex_);
    session_->Send(bytes);
    session_->TakeOutput(pending_);
  }
  WritePending(true);
}

void Link::EndSending() {
  std::lock_guard<std::mutex> sending(sendMutex_);
  if (session_ != nullptr) {
    {
      std::lock_guard<std::mutex> guard(sessionMutex_);
      session_->Close();
      session_->TakeOutput(pending_);
    }
    WritePending(true);
  }
  ::shutdown(socket_, SHUT_WR);
}

void Link::Stop() {
  if (session_ != nullptr) {
    // A thread still blocked in a write would hold this up: then the close goes without
    // its close_notify, and the shutdown below ends that write.
    std::unique_lock<std::mutex> sending(sendMutex_, std::try_to_lock);
    if (sending.owns_lock()) {
      {
        std::lock_guard<std::mutex> guard(sessionMutex_);
        session_->Close();
        session_->TakeOutput(pending_);
      }
      WritePending(false);  // the end must not wait for a server that stopped reading
    }
  }
  ::shutdown(socket_, SHUT_RDWR);
}

void Link::WritePending(bool wait) {
  std::string records;
  {
    std::lock_guard<std::mutex> guard(sessionMutex_);
    records.swap(pending_);
  }
  if (records.empty()) return;
  if (wait) {
    net::SendAll(socket_, records);  // a failed write shows as the end of receiving
  } else {
    [[maybe_unused]] const ssize_t sent =
        ::send(socket_, records.data(), records.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
  }
}

}  // namespace client
