// GameLink: a door's link to the game for one client of the door (a browser, a telnet
// user). It owns one end of a socket pair whose other end the server has admitted as
// an ordinary game connection. Not thread-safe: every call, and every callback, runs
// on the one thread that runs the door's io_context.
#pragma once

#include <netinet/in.h>

#include <boost/asio/io_context.hpp>
#include <boost/asio/local/stream_protocol.hpp>
#include <boost/system/error_code.hpp>

#include <array>
#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "net/frame.h"

namespace doors {

class GameLink : public std::enable_shared_from_this<GameLink> {
 public:
  // What the link tells its door. Both are called on the io_context's thread, never
  // from inside Open, SendLine, Consumed or Close.
  struct Callbacks {
    // One frame from the game, its text without the NUL, in the order the game sent
    // them. The door counts the bytes as its own until it calls Consumed(text.size()).
    std::function<void(std::string_view text)> onFrame;
    // The link has ended: the game closed the connection, the socket failed, or the
    // door called Close(). Called exactly once; no onFrame follows it.
    std::function<void()> onClosed;
  };

  // Bytes of game output the door may hold unconsumed before the link stops reading
  // from the game. A client that stops reading thus leaves its output waiting in the
  // server, whose own limits for slow readers then apply.
  static constexpr std::size_t kMaxUnconsumedBytes = 64 * 1024;

  // Makes a socket pair, admits one end to the game as a new connection from `peer`
  // (log line, welcome, per-address limits) and starts reading the other end. On
  // success returns the link; on failure returns nullptr, sets `error` and admits
  // nothing. The link keeps itself alive while it is open.
  static std::shared_ptr<GameLink> Open(boost::asio::io_context& io, const sockaddr_in& peer,
                                        Callbacks callbacks, boost::system::error_code& error);

  // Sends `text` to the game as one line (its bytes and one NUL). A NUL inside `text`
  // ends the line there, as it would for a TCP client. Lines are written in call order;
  // `written`, when given, is called once this line has been handed to the game (or
  // the link has ended), so a door can wait before reading more from its client.
  // Does nothing but call `written` after Close() or the end of the link.
  void SendLine(std::string_view text, std::function<void()> written = {});

  // The door has passed `bytes` of delivered frame text on to its client; reading from
  // the game resumes once fewer than kMaxUnconsumedBytes remain unconsumed.
  void Consumed(std::size_t bytes);

  // Ends the link once every line already sent has been handed to the game; the game
  // then handles those lines and ends the connection. onClosed follows. Safe to call
  // more than once and after the game has closed.
  void Close();

  // False once the link has ended (onClosed has been called or is on its way).
  bool IsOpen() const { return !ended_; }

  GameLink(const GameLink&) = delete;
  GameLink& operator=(const GameLink&) = delete;
  ~GameLink() = default;

 private:
  struct PendingLine {
    std::string frame;  // text and NUL
    std::function<void()> written;
  };

  GameLink(boost::asio::io_context& io, Callbacks callbacks);
  void ReadMore();
  void WriteNext();
  void End();

  boost::asio::local::stream_protocol::socket socket_;
  Callbacks callbacks_;
  net::FrameSplitter splitter_;
  std::array<char, 16 * 1024> readBuffer_{};
  std::deque<PendingLine> outgoing_;  // front() is being written when writing_
  std::size_t unconsumed_ = 0;        // frame bytes delivered and not yet Consumed
  bool reading_ = false;              // a read of the game's socket is in flight
  bool writing_ = false;              // a write to the game's socket is in flight
  bool closing_ = false;              // Close() was called; end once outgoing_ is empty
  bool ended_ = false;                // onClosed has been (or is being) called
};

}  // namespace doors
