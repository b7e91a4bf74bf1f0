// A fixture for tests of the game logic without sockets: it holds ConnectionLock for
// the whole test, makes a fresh world, Outbox and interpreter, and reads what was queued
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
#include "connection/bans.h"
#include "core/connection_lock.h"
#include "core/outbox.h"
#include "core/worker.h"
#include "world/telling.h"
#include "world/world.h"

// Keeps the frames a flush hands over, in the order sent: (destination, frame text).
class FrameCapture final : public core::OutboxSink {
 public:
  using Sent = std::vector<std::pair<core::Socket, std::string>>;

  void SendText(core::Socket destination, std::string_view text) override {
    frames.emplace_back(destination, std::string(text));
  }
  void SendData(core::Socket, std::string_view) override {}
  bool WantsData(core::Socket, std::string_view) const override { return false; }

  Sent frames;
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
  WorldTest() : guard_(core::ConnectionLock), state_(std::make_unique<State>()) {}

  // Starts again from an empty world, Outbox and interpreter.
  void Reset() {
    state_.reset();
    state_ = std::make_unique<State>();
  }

  world::World& World() { return state_->world; }
  world::CharacterTable& Characters() { return state_->world.characters; }
  core::Outbox& Outbox() { return state_->outbox; }
  commands::Interpreter& Interpreter() { return state_->interpreter; }

  // The frame each connection would get from a flush now, by handle. Empties the Outbox.
  std::map<core::Socket, std::string> Frames() {
    std::map<core::Socket, std::string> frames;
    for (auto& [socket, text] : Outbox().TakeQueued()) frames[socket] = std::move(text);
    return frames;
  }

  // The messages queued for `socket`, one per line. Empties the Outbox.
  std::vector<std::string> Lines(core::Socket socket) { return SplitMessages(Frames()[socket]); }

  // Runs one line from `socket` through the interpreter, with the replies kept queued
  // for Lines() / Frames() instead of being sent.
  void Type(core::Socket socket, const std::string& line) {
    FrameCapture capture;
    Outbox().DeliverTo(&capture);
    Interpreter().HandleLine(socket, line);
    Outbox().DeliverTo(nullptr);
    for (auto& [destination, frame] : capture.frames) Outbox().Queue(destination, frame);
  }

  // Puts a character in play for `socket` at (x, y), telling the clients as a login
  // does, and returns it.
  world::Character& Place(core::Socket socket, const std::string& name, int x, int y) {
    auto c = std::make_unique<world::Character>();
    c->name = name;
    c->role = world::Role::Warrior;
    c->x = x;
    c->y = y;
    const world::CellChange entered = Characters().EnterPlay(socket, std::move(c));
    world::TellChange(World(), Outbox(), entered);
    return *entered.who;
  }

  // The character of `socket` leaves play, the clients told as at the end of its
  // connection.
  void Leave(core::Socket socket) {
    world::TellChange(World(), Outbox(), Characters().LeavePlay(socket));
  }

 private:
  // What a test plays in, made fresh for each test.
  struct State {
    world::World world;
    core::Outbox outbox;
    core::Worker worker;  // never started: a job is done at once
    connection::BanList bans;
    commands::Interpreter interpreter{world, outbox, worker, bans};
  };

  std::lock_guard<core::FairLock> guard_;  // held while the state is made and destroyed
  std::unique_ptr<State> state_;
};
