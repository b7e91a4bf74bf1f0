#include "telnet/telnet_door.h"

#include <netinet/in.h>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>

#include <array>
#include <chrono>
#include <ctime>
#include <memory>
#include <string>
#include <thread>
#include <utility>

#include "doors/game_link.h"
#include "doors/listen.h"
#include "net/frame.h"
#include "server/log.h"
#include "telnet/telnet_reader.h"
#include "telnet/telnet_writer.h"

namespace telnet {

namespace {

namespace asio = boost::asio;
using asio::ip::tcp;
using boost::system::error_code;
using namespace std::chrono_literals;

// Output a telnet client may leave unsent before the door stops taking more from the
// game and from that client. A client that stops reading thus leaves the game's
// output waiting in the server, whose limits for slow readers then apply.
constexpr std::size_t kMaxClientOutputBytes = 64 * 1024;
// A client that takes no byte of its waiting output for this long is let go. The
// server's own limits for slow readers act well before; this frees the door's side,
// which cannot see the game connection end while it holds back the game's output.
constexpr auto kStallTime = 60s;

// Everything here lives on the telnet thread.
struct Door {
  explicit Door(const TelnetOptions& o) : options(o), acceptor(io) {}

  TelnetOptions options;
  asio::io_context io;
  tcp::acceptor acceptor;
  std::int64_t startTime = static_cast<std::int64_t>(std::time(nullptr));  // Unix seconds
};

// One telnet client and its game connection. Alive while a handler or the link's
// callbacks hold it; both let go once the client and the link have ended.
class Session : public std::enable_shared_from_this<Session> {
 public:
  Session(Door& door, tcp::socket socket, const sockaddr_in& peer)
      : door_(door), client_(std::move(socket)), peer_(peer), stall_(door.io) {}

  void Start() {
    reader_.Start(pending_);
    doors::GameLink::Callbacks callbacks;
    callbacks.onFrame = [self = shared_from_this()](std::string_view text) {
      AppendGameText(self->pending_, text);
      self->unconsumed_ += text.size();
      self->ReportConsumed();
      self->WriteClient();
    };
    callbacks.onClosed = [self = shared_from_this()] {
      self->linkEnded_ = true;
      self->WriteClient();  // the game's last words, then the client is let go
    };
    error_code error;
    link_ = doors::GameLink::Open(door_.io, peer_, std::move(callbacks), error);
    if (!link_) {
      server::Log("Error opening a telnet connection: " + std::to_string(error.value()) + "\n");
      EndClient();
      return;
    }
    WriteClient();
    ReadClient();
  }

 private:
  std::size_t UnsentBytes() const { return pending_.size() + writing_.size() - writtenHead_; }

  // Reads from the client only while the game has taken every line read before and the
  // client takes its output, so neither side can make the door hold more.
  void ReadClient() {
    if (reading_ || clientEnded_ || linkEnded_ || linesInFlight_ > 0 ||
        UnsentBytes() > kMaxClientOutputBytes) {
      return;
    }
    reading_ = true;
    client_.async_read_some(asio::buffer(readBuffer_), [self = shared_from_this()](
                                                           const error_code& error, std::size_t n) {
      self->reading_ = false;
      if (self->clientEnded_) return;
      if (error) {  // the client closed or reset: its lines already sent still count
        self->EndSession();
        return;
      }
      self->TakeInput(std::string_view(self->readBuffer_.data(), n));
    });
  }

  void TakeInput(std::string_view bytes) {
    reader_.Feed(
        bytes, pending_,
        [this](std::string_view line) {
          ++linesInFlight_;
          link_->SendLine(line, [self = shared_from_this()] {
            --self->linesInFlight_;
            self->ReadClient();
          });
        },
        [this] { AppendMsspStatus(pending_, Status()); });
    WriteClient();
    ReadClient();
  }

  MsspStatus Status() const {
    MsspStatus status;
    status.players = door_.options.playersInPlay ? door_.options.playersInPlay() : 0;
    status.startTime = door_.startTime;
    status.port = door_.options.port;
    if (door_.options.webPort != 0) {
      // The address this client reached us on is one the web client answers on too.
      error_code ignored;
      const tcp::endpoint local = client_.local_endpoint(ignored);
      if (!ignored) {
        status.website = "http://" + local.address().to_string() + ":" +
                         std::to_string(door_.options.webPort) + "/";
      }
    }
    return status;
  }

  // Lets the link read more once the client has taken most of what it was sent.
  void ReportConsumed() {
    if (unconsumed_ == 0 || linkEnded_ || UnsentBytes() > kMaxClientOutputBytes) return;
    link_->Consumed(unconsumed_);
    unconsumed_ = 0;
  }

  void WriteClient() {
    if (writingNow_ || clientEnded_) return;
    if (writtenHead_ == writing_.size()) {
      if (pending_.empty()) {
        if (linkEnded_) EndClient();
        return;
      }
      if (writing_.capacity() > kMaxClientOutputBytes) std::string().swap(writing_);
      writing_.clear();
      writing_.swap(pending_);
      writtenHead_ = 0;
    }
    writingNow_ = true;
    stall_.expires_after(kStallTime);
    stall_.async_wait([self = shared_from_this()](const error_code& error) {
      if (error || self->clientEnded_) return;  // cancelled: the client took some
      if (self->stall_.expiry() > asio::steady_timer::clock_type::now()) return;  // re-armed
      // Reset rather than close, so the kernel does not go on holding its output.
      error_code ignored;
      self->client_.set_option(tcp::socket::linger(true, 0), ignored);
      self->EndSession();
    });
    client_.async_write_some(
        asio::buffer(writing_.data() + writtenHead_, writing_.size() - writtenHead_),
        [self = shared_from_this()](const error_code& error, std::size_t n) {
          self->writingNow_ = false;
          self->stall_.cancel();
          if (self->clientEnded_) return;
          if (error) {  // the client went away: the game hears of it
            self->EndSession();
            return;
          }
          self->writtenHead_ += n;
          self->ReportConsumed();
          self->WriteClient();
          self->ReadClient();
        });
  }

  // Ends the client and the game connection; lines the game has not taken yet still
  // reach it.
  void EndSession() {
    link_->Close();
    EndClient();
  }

  void EndClient() {
    clientEnded_ = true;
    error_code ignored;
    client_.shutdown(tcp::socket::shutdown_both, ignored);
    client_.close(ignored);
    stall_.cancel();
  }

  Door& door_;
  tcp::socket client_;
  sockaddr_in peer_;
  TelnetReader reader_{net::kMaxLineBytes};
  std::shared_ptr<doors::GameLink> link_;
  asio::steady_timer stall_;  // ends a client that takes none of its waiting output
  std::array<char, 4096> readBuffer_{};
  std::string pending_;  // output for the client not yet handed to a write
  std::string writing_;  // output being written, sent up to writtenHead_
  std::size_t writtenHead_ = 0;
  std::size_t unconsumed_ = 0;     // game text turned into output, not yet reported
  std::size_t linesInFlight_ = 0;  // lines sent to the link and not yet written
  bool reading_ = false;           // a read of the client is in flight
  bool writingNow_ = false;        // a write to the client is in flight
  bool clientEnded_ = false;       // the client socket is closed
  bool linkEnded_ = false;         // the game connection has ended
};

}  // namespace

bool StartTelnetDoor(const TelnetOptions& options) {
  // Lives until the process ends: the telnet thread never stops.
  Door* door = new Door(options);
  error_code error;
  if (!doors::Listen(door->acceptor, options.port, error)) {
    server::Log("Error binding telnet port: " + std::to_string(error.value()) + "\n");
    delete door;
    return false;
  }
  server::Log("Telnet port " + std::to_string(options.port) + ".\n");
  doors::AcceptForever(door->acceptor, "telnet", [door](tcp::socket socket, const sockaddr_in& peer) {
    std::make_shared<Session>(*door, std::move(socket), peer)->Start();
  });
  std::thread([door] { door->io.run(); }).detach();
  return true;
}

}  // namespace telnet
