#include "doors/game_link.h"

#include <sys/socket.h>
#include <unistd.h>

#include <boost/asio/post.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/write.hpp>

#include <algorithm>
#include <cerrno>
#include <utility>

#include "server/server.h"

namespace doors {

namespace {

// The game never sends a frame near this size; it only bounds what one link can hold.
constexpr std::size_t kMaxGameFrameBytes = 4 * 1024 * 1024;

}  // namespace

GameLink::GameLink(boost::asio::io_context& io, Callbacks callbacks)
    : socket_(io), callbacks_(std::move(callbacks)), splitter_(kMaxGameFrameBytes) {}

std::shared_ptr<GameLink> GameLink::Open(boost::asio::io_context& io, const sockaddr_in& peer,
                                         Callbacks callbacks, boost::system::error_code& error) {
  int ends[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, ends) != 0) {
    error.assign(errno, boost::system::system_category());
    return nullptr;
  }
  std::shared_ptr<GameLink> link(new GameLink(io, std::move(callbacks)));
  link->socket_.assign(boost::asio::local::stream_protocol(), ends[1], error);
  if (error) {
    ::close(ends[0]);
    ::close(ends[1]);
    return nullptr;
  }
  server::AdmitConnection(ends[0], peer);
  link->ReadMore();
  return link;
}

void GameLink::SendLine(std::string_view text, std::function<void()> written) {
  if (ended_ || closing_) {
    if (written) boost::asio::post(socket_.get_executor(), std::move(written));
    return;
  }
  PendingLine line;
  line.frame.reserve(text.size() + 1);
  line.frame.append(text);  // a NUL inside splits it, as in a TCP client's stream
  line.frame.push_back(net::kFrameEnd);
  line.written = std::move(written);
  outgoing_.push_back(std::move(line));
  WriteNext();
}

void GameLink::WriteNext() {
  if (writing_ || ended_) return;
  if (outgoing_.empty()) {
    if (closing_) End();
    return;
  }
  writing_ = true;
  boost::asio::async_write(
      socket_, boost::asio::buffer(outgoing_.front().frame),
      [self = shared_from_this()](const boost::system::error_code& error, std::size_t) {
        self->writing_ = false;
        if (self->ended_) return;
        PendingLine done = std::move(self->outgoing_.front());
        self->outgoing_.pop_front();
        if (done.written) done.written();
        if (error) {
          self->End();
          return;
        }
        self->WriteNext();
      });
}

void GameLink::ReadMore() {
  if (reading_ || ended_ || closing_ || unconsumed_ >= kMaxUnconsumedBytes) return;
  reading_ = true;
  socket_.async_read_some(
      boost::asio::buffer(readBuffer_),
      [self = shared_from_this()](const boost::system::error_code& error, std::size_t n) {
        self->reading_ = false;
        if (self->ended_) return;
        if (error) {  // end of stream: the game closed the connection
          self->End();
          return;
        }
        self->splitter_.Feed(
            std::string_view(self->readBuffer_.data(), n),
            [&](std::string_view text) {
              if (self->ended_) return;
              self->unconsumed_ += text.size();
              self->callbacks_.onFrame(text);
            },
            [] {});
        self->ReadMore();
      });
}

void GameLink::Consumed(std::size_t bytes) {
  unconsumed_ -= std::min(bytes, unconsumed_);
  ReadMore();
}

void GameLink::Close() {
  if (ended_ || closing_) return;
  closing_ = true;
  if (!writing_ && outgoing_.empty()) {
    // Never call back from inside Close.
    boost::asio::post(socket_.get_executor(), [self = shared_from_this()] { self->End(); });
  }
}

void GameLink::End() {
  if (ended_) return;
  ended_ = true;
  boost::system::error_code ignored;
  socket_.close(ignored);  // cancels a read in flight; the game sees the end of stream
  for (PendingLine& line : outgoing_) {
    if (line.written) boost::asio::post(socket_.get_executor(), std::move(line.written));
  }
  outgoing_.clear();
  auto onClosed = std::move(callbacks_.onClosed);
  callbacks_ = {};  // the door's handlers often hold the door's session: let it go
  if (onClosed) onClosed();
}

}  // namespace doors
