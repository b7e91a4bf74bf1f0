// What the tests' recording CodecEvents share: the time a codec is told, which a test
// may set.
#pragma once

#include <chrono>

#include "connection/codec.h"

struct TestCodecEvents : connection::CodecEvents {
  const connection::Moment& Now() const override { return now; }
  void Unit(std::size_t count) override { units += count; }
  std::string_view ClientIs(const base::Address&) override { return {}; }
  connection::Moment now{std::chrono::steady_clock::now(), 1'700'000'000};
  std::size_t units = 0;  // the work the codec counted
};
