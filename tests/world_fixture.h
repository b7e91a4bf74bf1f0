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
#include "core/connection_lock.h"
#include "core/outbox.h"
#include "world/character.h"
#include "world/clock.h"
#include "world/screen_reader.h"
#include "world/telling.h"

// While one lives, the frames a flush hands over are kept in Frames() (each frame's
// text), in the order sent, instead of being dropped. The holder empties Frames().
class FrameCapture final : public core::OutboxSink {
 public:
  using Sent = std::vector<std::pair<core::Socket, std::string>>;
  FrameCapture() { core::DeliverOutboxTo(this); }
  ~FrameCapture() { core::DeliverOutboxTo(nullptr); }
  FrameCapture(const FrameCapture&) = delete;
  FrameCapture& operator=(const FrameCapture&) = delete;

  static Sent& Frames() {
    static Sent frames;
    return frames;
  }

  void SendText(core::Socket destination, std::string_view text) override {
    Frames().emplace_back(destination, std::string(text));
  }
  void SendData(core::Socket, std::string_view) override {}
  bool WantsData(core::Socket, std::string_view) const override { return false; }
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
  WorldTest() : guard_(core::ConnectionLock) { Reset(); }
  ~WorldTest() override { Reset(); }

  void Reset() {
    world::ClearCharacterTables();
    world::GameClock = {};
    world::ForgetAllScreenReaders();
    commands::ForgetAllSessions();
    core::TakeQueuedFrames();
    FrameCapture::Frames().clear();
  }

  // The frame each connection would get from a flush now, by handle. Empties the Outbox.
  std::map<core::Socket, std::string> Frames() {
    std::map<core::Socket, std::string> frames;
    for (auto& [socket, text] : core::TakeQueuedFrames()) frames[socket] = std::move(text);
    return frames;
  }

  // The messages queued for `socket`, one per line. Empties the Outbox.
  std::vector<std::string> Lines(core::Socket socket) { return SplitMessages(Frames()[socket]); }

  // Runs one line from `socket` through the interpreter, with the replies kept queued
  // for Lines() / Frames() instead of being sent.
  void Type(core::Socket socket, const std::string& line) {
    {
      FrameCapture capture;
      commands::HandleLine(socket, line);
    }
    for (auto& [destination, frame] : FrameCapture::Frames()) core::QueueMessage(destination, frame);
    FrameCapture::Frames().clear();
  }

  // Puts a character in play for `socket` at (x, y), telling the clients as a login
  // does, and returns it.
  world::Character& Place(core::Socket socket, const std::string& name, int x, int y) {
    auto c = std::make_unique<world::Character>();
    c->name = name;
    c->role = world::Role::Warrior;
    c->x = x;
    c->y = y;
    const world::CellChange entered = world::EnterPlay(socket, std::move(c));
    world::TellChange(entered);
    return *entered.who;
  }

  // The character of `socket` leaves play, the clients told as at the end of its
  // connection.
  void Leave(core::Socket socket) { world::TellChange(world::LeavePlay(socket)); }

 private:
  std::lock_guard<core::FairLock> guard_;
};
