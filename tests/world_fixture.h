// A fixture for tests of the game logic without sockets: it holds ConnectionLock for
// the whole test, starts from empty tables and a fresh clock, and reads what was queued
// for each connection.
#pragma once

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "commands/interpreter.h"
#include "server/connection_lock.h"
#include "server/outbox.h"
#include "world/character.h"
#include "world/clock.h"

// While one lives, the frames a flush hands over are kept in Frames() (each with its
// NUL), in the order sent, instead of being dropped. The holder empties Frames().
class FrameCapture {
 public:
  using Sent = std::vector<std::pair<net::Socket, std::string>>;
  FrameCapture() { server::SetFrameSink(&Keep); }
  ~FrameCapture() { server::SetFrameSink(nullptr); }
  FrameCapture(const FrameCapture&) = delete;
  FrameCapture& operator=(const FrameCapture&) = delete;

  static Sent& Frames() {
    static Sent frames;
    return frames;
  }

 private:
  static void Keep(net::Socket destination, std::string_view frame) {
    Frames().emplace_back(destination, std::string(frame));
  }
};

// The messages of a frame's text, one per line; none for an empty text.
inline std::vector<std::string> SplitMessages(std::string_view text) {
  std::vector<std::string> lines;
  if (text.empty()) return lines;
  for (;;) {
    const std::size_t end = text.find('\n');
    lines.emplace_back(text.substr(0, end));
    if (end == std::string_view::npos) break;
    text.remove_prefix(end + 1);
  }
  return lines;
}

class WorldTest : public ::testing::Test {
 protected:
  WorldTest() : guard_(server::ConnectionLock) { Reset(); }
  ~WorldTest() override { Reset(); }

  void Reset() {
    world::ClearCharacterTables();
    world::GameClock = {};
    commands::ForgetAllSessions();
    server::TakeQueuedFrames();
    FrameCapture::Frames().clear();
  }

  // The frame each connection would get from a flush now, by handle. Empties the Outbox.
  std::map<net::Socket, std::string> Frames() {
    std::map<net::Socket, std::string> frames;
    for (auto& [socket, text] : server::TakeQueuedFrames()) frames[socket] = std::move(text);
    return frames;
  }

  // The messages queued for `socket`, one per line. Empties the Outbox.
  std::vector<std::string> Lines(net::Socket socket) { return SplitMessages(Frames()[socket]); }

  // Runs one line from `socket` through the interpreter, with the replies kept queued
  // for Lines() / Frames() instead of being sent.
  void Type(net::Socket socket, const std::string& line) {
    {
      FrameCapture capture;
      commands::HandleLine(socket, line);
    }
    for (auto& [destination, frame] : FrameCapture::Frames()) {
      server::QueueMessage(destination, frame.substr(0, frame.size() - 1));
    }
    FrameCapture::Frames().clear();
  }

  // Puts a character in play for `socket` at (x, y) and returns it.
  world::Character& Place(net::Socket socket, const std::string& name, int x, int y) {
    auto c = std::make_unique<world::Character>();
    c->name = name;
    c->role = world::Role::Warrior;
    c->x = x;
    c->y = y;
    return world::EnterPlay(socket, std::move(c));
  }

 private:
  std::lock_guard<server::FairLock> guard_;
};
