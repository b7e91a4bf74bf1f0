#include "bench_telnet.h"

namespace bench {

namespace {

constexpr unsigned char kIac = 255;
constexpr unsigned char kSb = 250;
constexpr unsigned char kSe = 240;
constexpr unsigned char kWill = 251;  // WILL, WONT, DO, DONT: 251 to 254
constexpr unsigned char kDont = 254;

}  // namespace

void AppendTelnetLine(std::string& out, std::string_view text) {
  for (const char c : text) {
    out.push_back(c);
    if (static_cast<unsigned char>(c) == kIac) out.push_back(c);
  }
  out.append("\r\n");
}

bool TelnetLines::Take(unsigned char byte) {
  switch (state_) {
    case State::Data:
      if (byte == kIac) {
        state_ = State::Command;
      } else if (byte == '\n') {
        if (!line_.empty() && line_.back() == '\r') line_.pop_back();
        return true;
      } else {
        line_.push_back(static_cast<char>(byte));
      }
      return false;
    case State::Command:
      state_ = State::Data;
      if (byte == kIac) {
        line_.push_back(static_cast<char>(byte));  // IAC IAC: the data byte 255
      } else if (byte >= kWill && byte <= kDont) {
        state_ = State::Option;
      } else if (byte == kSb) {
        state_ = State::Sub;
      }  // any other command (NOP, GA, ...) is two bytes long
      return false;
    case State::Option:
      state_ = State::Data;
      return false;
    case State::Sub:
      if (byte == kIac) state_ = State::SubCommand;
      return false;
    case State::SubCommand:
      state_ = byte == kSe ? State::Data : State::Sub;  // IAC IAC stays inside
      return false;
  }
  return false;
}

}  // namespace bench
