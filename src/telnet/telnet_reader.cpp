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
  kSubGmcp = 6,  // the subnegotiation kept is a GMCP message
  kSub = 7,
  kCharset = 8,
  kTheirCharset = 9,
  kTtype = 10,
  kEnviron = 11,
  kSubOption = 12,  // the option of the subnegotiation kept, when it is not GMCP
};

// Sends IAC `verb` `option`.
void Append(std::string& toClient, unsigned char verb, unsigned char option) {
  toClient += static_cast<char>(kIac);
  toClient += static_cast<char>(verb);
  toClient += static_cast<char>(option);
}

}  // namespace

void TelnetReader::Start(std::string& toClient) {
  Append(toClient, kWill, kOptionMssp);
  Append(toClient, kWill, kOptionGmcp);
  Append(toClient, kDo, kOptionTtype);
  Append(toClient, kWill, kOptionCharset);
  Append(toClient, kDo, kOptionNewEnviron);
  mssp_ = Agreement::WantYes;
  gmcp_ = Agreement::WantYes;
  ttype_ = Agreement::WantYes;
  charset_ = Agreement::WantYes;
  environ_ = Agreement::WantYes;
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
      state_ = State::SubData;
      subKept_ = KeptBytes(byte) != 0;
      subOption_ = subKept_ ? byte : 0;
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
      if (byte == kSe) return EndSubnegotiation();
      subKept_ = false;
      subOption_ = 0;
      std::string().swap(sub_);
      state_ = State::Command;
      return Step(byte, toClient);
  }
  return Event::None;
}

TelnetReader::Event TelnetReader::EndSubnegotiation() {
  const bool whole = subKept_ && sub_.size() <= KeptBytes(subOption_);
  const unsigned char option = subOption_;
  subKept_ = false;
  subOption_ = 0;
  if (!whole) {
    std::string().swap(sub_);
    return Event::None;
  }
  if (option == kOptionGmcp) return Event::GmcpMessage;
  news_ = {option, OptionNews::Kind::Subnegotiation, false, sub_};
  return Event::Option;
}

TelnetReader::Agreement* TelnetReader::Ours(unsigned char option) {
  switch (option) {
    case kOptionMssp:
      return &mssp_;
    case kOptionGmcp:
      return &gmcp_;
    case kOptionCharset:
      return &charset_;
    default:
      return nullptr;
  }
}

TelnetReader::Agreement* TelnetReader::Theirs(unsigned char option) {
  switch (option) {
    case kOptionTtype:
      return &ttype_;
    case kOptionNewEnviron:
      return &environ_;
    case kOptionCharset:
      return &theirCharset_;
    default:
      return nullptr;
  }
}

std::size_t TelnetReader::KeptBytes(unsigned char option) const {
  switch (option) {
    case kOptionGmcp:
      return gmcp_ == Agreement::Yes ? kMaxGmcpBytes : 0;
    case kOptionTtype:
      return ttype_ == Agreement::Yes ? kMaxOptionBytes : 0;
    case kOptionNewEnviron:
      return environ_ == Agreement::Yes ? kMaxOptionBytes : 0;
    case kOptionCharset:
      return charset_ == Agreement::Yes || theirCharset_ == Agreement::Yes ? kMaxOptionBytes : 0;
    default:
      return 0;
  }
}

TelnetReader::Event TelnetReader::Negotiate(unsigned char verb, unsigned char option,
                                            std::string& toClient) {
  // DO and DONT are about our side of the option, WILL and WONT about the client's.
  const bool aboutOurs = verb == kDo || verb == kDont;
  const bool on = verb == kDo || verb == kWill;
  Agreement* side = aboutOurs ? Ours(option) : Theirs(option);
  if (side == nullptr) {
    // Every other option stays off on both sides, so only a request to turn one on is
    // answered; WONT and DONT agree with the state and get nothing back.
    if (on) Append(toClient, aboutOurs ? kWont : kDont, option);
    return Event::None;
  }
  if (!on) {
    // A refusal of our offer or request needs no answer; turning off what was on does.
    if (*side == Agreement::Yes) Append(toClient, aboutOurs ? kWont : kDont, option);
    *side = Agreement::No;
    return Event::None;
  }
  if (*side == Agreement::Yes) return Event::None;
  if (*side == Agreement::No) Append(toClient, aboutOurs ? kWill : kDo, option);  // asked first: agree
  *side = Agreement::Yes;
  if (option == kOptionMssp) return Event::MsspOn;
  if (option == kOptionGmcp) return Event::None;
  news_ = {option, OptionNews::Kind::Agreed, aboutOurs, {}};
  return Event::Option;
}

void TelnetReader::KeepSubByte(unsigned char byte) {
  if (subKept_ && sub_.size() <= KeptBytes(subOption_)) sub_ += static_cast<char>(byte);
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
  out.Unsigned(kCharset, static_cast<std::uint8_t>(charset_));
  out.Unsigned(kTheirCharset, static_cast<std::uint8_t>(theirCharset_));
  out.Unsigned(kTtype, static_cast<std::uint8_t>(ttype_));
  out.Unsigned(kEnviron, static_cast<std::uint8_t>(environ_));
  out.Bool(kSubGmcp, subKept_ && subOption_ == kOptionGmcp);
  if (subKept_ && subOption_ != kOptionGmcp) out.Unsigned(kSubOption, subOption_);
  out.Bytes(kSub, sub_);
}

bool TelnetReader::RestoreState(base::FieldReader& in) {
  constexpr std::uint64_t kNone = 256;  // no option's byte
  const std::string_view line = in.Bytes(kLine);
  const std::uint64_t state = in.Unsigned(kState);
  const std::uint64_t verb = in.Unsigned(kVerb);
  std::uint64_t agreed[6] = {in.Unsigned(kMssp),    in.Unsigned(kGmcp),  in.Unsigned(kCharset),
                             in.Unsigned(kTheirCharset), in.Unsigned(kTtype), in.Unsigned(kEnviron)};
  const bool subGmcp = in.Bool(kSubGmcp);
  const std::uint64_t subOption = subGmcp ? kOptionGmcp : in.Unsigned(kSubOption, kNone);
  const std::string_view sub = in.Bytes(kSub);
  if (!in.Good() || state > static_cast<std::uint8_t>(State::SubCommand)) return false;
  for (const std::uint64_t a : agreed) {
    if (a > static_cast<std::uint8_t>(Agreement::Yes)) return false;
  }
  const auto restored = static_cast<State>(state);
  // A line holds no line end and no NUL; only a subnegotiation of an option that is on
  // is kept, only while one is read, and within its bound.
  const bool inSub = restored == State::SubData || restored == State::SubCommand;
  if (line.size() > maxLineBytes_ + 1 ||
      line.find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos ||
      (restored == State::Option && verb != kWill && verb != kWont && verb != kDo &&
       verb != kDont) ||
      (subOption == kNone && !sub.empty()) || (subOption != kNone && !inSub)) {
    return false;
  }
  TelnetReader restoredReader(maxLineBytes_);
  Agreement* sides[6] = {&restoredReader.mssp_, &restoredReader.gmcp_, &restoredReader.charset_,
                         &restoredReader.theirCharset_, &restoredReader.ttype_, &restoredReader.environ_};
  for (std::size_t i = 0; i < 6; ++i) *sides[i] = static_cast<Agreement>(agreed[i]);
  if (subOption != kNone) {
    const std::size_t kept = subOption < kNone ? restoredReader.KeptBytes(static_cast<unsigned char>(subOption)) : 0;
    if (kept == 0 || sub.size() > kept + 1) return false;
    restoredReader.subKept_ = true;
    restoredReader.subOption_ = static_cast<unsigned char>(subOption);
  }
  restoredReader.line_.assign(line);
  restoredReader.state_ = restored;
  restoredReader.verb_ = restored == State::Option ? static_cast<unsigned char>(verb) : 0;
  restoredReader.sub_.assign(sub);
  *this = std::move(restoredReader);
  return true;
}

}  // namespace telnet
