#include "telnet/telnet_reader.h"

#include <algorithm>

#include "telnet/telnet_protocol.h"

namespace telnet {

namespace {

enum Tag : std::uint32_t {
  kLine = 1,
  kState = 2,
  kVerb = 3,
  kMssp = 4,
  kGmcp = 5,
  kSubGmcp = 6,
  kSub = 7,
};

}  // namespace

void TelnetReader::Start(std::string& toClient) {
  toClient += static_cast<char>(kIac);
  toClient += static_cast<char>(kWill);
  toClient += static_cast<char>(kOptionMssp);
  toClient += static_cast<char>(kIac);
  toClient += static_cast<char>(kWill);
  toClient += static_cast<char>(kOptionGmcp);
  mssp_ = Mssp::WantYes;
  gmcp_ = Mssp::WantYes;
}

std::size_t TelnetReader::Consume(std::string_view bytes, std::string& toClient, Event& event) {
  std::size_t i = 0;
  while (i < bytes.size()) {
    if (state_ == State::Data) {
      // The common case: a run of plain text, taken in one piece.
      std::size_t end = i;
      while (end < bytes.size()) {
        const auto c = static_cast<unsigned char>(bytes[end]);
        if (c == kIac || c == '\r' || c == '\n' || c == '\0') break;
        ++end;
      }
      if (end > i && line_.size() <= maxLineBytes_) {
        line_.append(bytes.substr(i, std::min(end - i, maxLineBytes_ + 1 - line_.size())));
      }
      i = end;
      if (i == bytes.size()) break;
    }
    event = Step(static_cast<unsigned char>(bytes[i++]), toClient);
    if (event != Event::None) break;
  }
  return i;
}

TelnetReader::Event TelnetReader::Step(unsigned char byte, std::string& toClient) {
  switch (state_) {
    case State::Data:
      if (byte == kIac) {
        state_ = State::Command;
      } else if (byte == '\r' || byte == '\n') {
        return Event::LineEnd;  // the LF of CR LF ends an empty line, which goes nowhere
      } else if (byte != '\0' && line_.size() <= maxLineBytes_) {
        line_ += static_cast<char>(byte);
      }
      return Event::None;
    case State::Command:
      state_ = State::Data;
      if (byte != kIac) ++commands_;
      if (byte == kIac) {
        if (line_.size() <= maxLineBytes_) line_ += static_cast<char>(kIac);
      } else if (byte == kWill || byte == kWont || byte == kDo || byte == kDont) {
        verb_ = byte;
        state_ = State::Option;
      } else if (byte == kSb) {
        state_ = State::SubOption;
      }
      return Event::None;  // every other command (NOP, GA, AYT, a stray SE ...) is dropped
    case State::Option:
      state_ = State::Data;
      return Negotiate(verb_, byte, toClient);
    case State::SubOption:
      state_ = State::SubData;  // only GMCP of our options takes data from the client
      subGmcp_ = byte == kOptionGmcp && gmcp_ == Mssp::Yes;
      sub_.clear();
      return Event::None;
    case State::SubData:
      if (byte == kIac) {
        state_ = State::SubCommand;
      } else {
        KeepSubByte(byte);
      }
      return Event::None;
    case State::SubCommand:
      if (byte == kIac) {
        state_ = State::SubData;  // a data byte 255
        KeepSubByte(byte);
        return Event::None;
      }
      // IAC SE ends the subnegotiation. Any other command means the client never ended
      // it: end it here and take the command, so no input is swallowed for good.
      state_ = State::Data;
      if (byte == kSe) {
        const bool message = subGmcp_ && sub_.size() <= kMaxGmcpBytes;
        subGmcp_ = false;
        if (message) return Event::GmcpMessage;
        std::string().swap(sub_);
        return Event::None;
      }
      subGmcp_ = false;
      std::string().swap(sub_);
      state_ = State::Command;
      return Step(byte, toClient);
  }
  return Event::None;
}

TelnetReader::Event TelnetReader::Negotiate(unsigned char verb, unsigned char option,
                                            std::string& toClient) {
  const auto answer = [&](unsigned char reply) {
    toClient += static_cast<char>(kIac);
    toClient += static_cast<char>(reply);
    toClient += static_cast<char>(option);
  };
  if (option == kOptionMssp && verb == kDo) {
    if (mssp_ == Mssp::Yes) return Event::None;
    if (mssp_ == Mssp::No) answer(kWill);  // asked again after a DONT: agree again
    mssp_ = Mssp::Yes;
    return Event::MsspOn;
  }
  if (option == kOptionGmcp && verb == kDo) {
    if (gmcp_ == Mssp::No) answer(kWill);
    gmcp_ = Mssp::Yes;
    return Event::None;
  }
  if (option == kOptionGmcp && verb == kDont) {
    if (gmcp_ == Mssp::Yes) answer(kWont);
    gmcp_ = Mssp::No;
    return Event::None;
  }
  if (option == kOptionMssp && verb == kDont) {
    if (mssp_ == Mssp::Yes) answer(kWont);  // a refusal of our offer needs no answer
    mssp_ = Mssp::No;
    return Event::None;
  }
  // Every other option stays off on both sides, so only a request to turn one on is
  // answered; WONT and DONT agree with the state and get nothing back.
  if (verb == kDo) answer(kWont);
  if (verb == kWill) answer(kDont);
  return Event::None;
}

void TelnetReader::KeepSubByte(unsigned char byte) {
  if (subGmcp_ && sub_.size() <= kMaxGmcpBytes) sub_ += static_cast<char>(byte);
}

void TelnetReader::TakeLine() {
  if (line_.capacity() > 256) {
    std::string().swap(line_);  // an idle connection keeps no long line's buffer
  } else {
    line_.clear();
  }
}

void TelnetReader::SaveState(base::FieldWriter& out) const {
  out.Bytes(kLine, line_);
  out.Unsigned(kState, static_cast<std::uint8_t>(state_));
  if (state_ == State::Option) out.Unsigned(kVerb, verb_);
  out.Unsigned(kMssp, static_cast<std::uint8_t>(mssp_));
  out.Unsigned(kGmcp, static_cast<std::uint8_t>(gmcp_));
  out.Bool(kSubGmcp, subGmcp_);
  out.Bytes(kSub, sub_);
}

bool TelnetReader::RestoreState(base::FieldReader& in) {
  const std::string_view line = in.Bytes(kLine);
  const std::uint64_t state = in.Unsigned(kState);
  const std::uint64_t verb = in.Unsigned(kVerb);
  const std::uint64_t mssp = in.Unsigned(kMssp);
  const std::uint64_t gmcp = in.Unsigned(kGmcp);
  const bool subGmcp = in.Bool(kSubGmcp);
  const std::string_view sub = in.Bytes(kSub);
  if (!in.Good() || state > static_cast<std::uint8_t>(State::SubCommand) ||
      mssp > static_cast<std::uint8_t>(Mssp::Yes) || gmcp > static_cast<std::uint8_t>(Mssp::Yes)) {
    return false;
  }
  const auto restored = static_cast<State>(state);
  // A line holds no line end and no NUL; only a GMCP message is kept of a
  // subnegotiation, and only while one is read.
  const bool inSub = restored == State::SubData || restored == State::SubCommand;
  if (line.size() > maxLineBytes_ + 1 ||
      line.find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos ||
      (restored == State::Option && verb != kWill && verb != kWont && verb != kDo &&
       verb != kDont) ||
      (subGmcp && (!inSub || static_cast<Mssp>(gmcp) != Mssp::Yes)) ||
      sub.size() > kMaxGmcpBytes + 1 || (!subGmcp && !sub.empty())) {
    return false;
  }
  line_.assign(line);
  state_ = restored;
  verb_ = restored == State::Option ? static_cast<unsigned char>(verb) : 0;
  mssp_ = static_cast<Mssp>(mssp);
  gmcp_ = static_cast<Mssp>(gmcp);
  subGmcp_ = subGmcp;
  sub_.assign(sub);
  return true;
}

}  // namespace telnet
