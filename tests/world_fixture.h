// A fixture for tests of the game logic without sockets: it holds ConnectionLock for
// the whole test, starts from empty tables and a fresh clock, and reads what was queued
// for each connection.
#pragma once

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "commands/interpreter.h"
#include "server/connection_lock.h"
#include "server/outbox.h"
#include "world/character.h"
#include "world/clock.h"

class WorldTest : public ::testing::Test {
 protected:
  WorldTest() : guard_(server::ConnectionLock) { Reset(); }
  ~WorldTest() override { Reset(); }

  void Reset() {
    world::ClearCharacterTables();
    world::GameClock = {};
    commands::ForgetAllSessions();
    server::TakeQueuedFrames();
  }

  // The frame each connection would get from a flush now, by handle. Empties the Outbox.
  std::map<net::Socket, std::string> Frames() {
    std::map<net::Socket, std::string> frames;
    for (auto& [socket, text] : server::TakeQueuedFrames()) frames[socket] = std::move(text);
    return frames;
  }

  // The messages queued for `socket`, one per line. Empties the Outbox.
  std::vector<std::string> Lines(net::Socket socket) {
    const std::string frame = Frames()[socket];
    std::vector<std::string> lines;
    if (frame.empty()) return lines;
    std::size_t start = 0;
    for (;;) {
      const std::size_t end = frame.find('\n', start);
      lines.push_back(frame.substr(start, end - start));
      if (end == std::string::npos) break;
      start = end + 1;
    }
    return lines;
  }

  // Runs one line from `socket` through the interpreter, with the replies kept queued
  // for Lines() / Frames() instead of being sent.
  void Type(net::Socket socket, const std::string& line) {
    server::SetFrameSink(&Capture);
    commands::HandleLine(socket, nullptr, line, false);
    server::SetFrameSink(nullptr);
    for (auto& [destination, frame] : Captured()) {
      server::QueueMessage(destination, frame.substr(0, frame.size() - 1));
    }
    Captured().clear();
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
  static std::vector<std::pair<net::Socket, std::string>>& Captured() {
    static std::vector<std::pair<net::Socket, std::string>> frames;
    return frames;
  }
  static void Capture(net::Socket destination, std::string_view frame) {
    Captured().emplace_back(destination, std::string(frame));
  }

  std::lock_guard<server::FairLock> guard_;
};
