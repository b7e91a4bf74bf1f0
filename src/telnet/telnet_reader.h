// The input side of a telnet connection: turns the bytes a telnet client sends into
// the lines a player typed, and answers the client's option requests. One reader per
// connection, used by one thread at a time; it does no I/O of its own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

#include "base/fields.h"
#include "telnet/gmcp.h"

namespace telnet {

// The longest subnegotiation of TTYPE, CHARSET or NEW-ENVIRON that is passed on; a
// longer one is dropped. What a client says of itself there fits many times over.
inline constexpr std::size_t kMaxOptionBytes = 1024;

// What a client said of an option the codec works with beyond the reader: that it
// agreed to it, or a subnegotiation of it.
struct OptionNews {
  unsigned char option = 0;
  // Agreed: `ours` tells which side turned on (ours: the client's DO to our WILL; the
  // client's: its WILL to our DO).
  enum class Kind : std::uint8_t { Agreed, Subnegotiation } kind = Kind::Agreed;
  bool ours = false;
  std::string_view data;  // a subnegotiation's bytes after the option, IAC IAC undone
};

// Reads a telnet stream (RFC 854) cut anywhere across reads.
//
// A line ends at CR LF, LF, CR NUL or a lone CR, and an empty line is never passed on.
// Telnet commands are taken out wherever they fall, a subnegotiation up to its IAC SE
// included; IAC IAC is the data byte 255; any other NUL is dropped (a no-op in telnet).
//
// Options (RFC 1143): the reader offers MSSP, GMCP and CHARSET, asks the client for
// TTYPE and NEW-ENVIRON, agrees to the client's CHARSET, and refuses every other
// option the client asks for, WONT for DO and DONT for WILL. It answers only requests
// that would change an option's state, so it never answers a refusal and two sides can
// never loop.
//
// Memory stays bounded: a line is held up to maxLineBytes + 1 bytes, and a line longer
// than maxLineBytes comes out once, cut to maxLineBytes + 1 bytes, so the game's own
// length check answers it; a subnegotiation's data is skipped, never held, except a
// GMCP message while GMCP is on, held up to kMaxGmcpBytes, and one of TTYPE, CHARSET
// or NEW-ENVIRON while that option is on, held up to kMaxOptionBytes (longer ones are
// dropped).
class TelnetReader {
 public:
  explicit TelnetReader(std::size_t maxLineBytes) : maxLineBytes_(maxLineBytes) {}

  // The bytes that open the session: the offers of MSSP, GMCP and CHARSET and the
  // requests for TTYPE and NEW-ENVIRON. Call once, at connect.
  void Start(std::string& toClient);

  // Feeds received bytes. Appends answers to option requests to `toClient`, calls
  // onLine(std::string_view line) for every complete, non-empty line, onMssp() at the
  // point where the client took up MSSP (the caller appends the status there),
  // onGmcp(std::string_view message) for every GMCP message while GMCP is on, and
  // onOption(const OptionNews&) when TTYPE, CHARSET or NEW-ENVIRON turns on and for
  // each of their subnegotiations while on, each at its place in the stream.
  template <class OnLine, class OnMssp, class OnGmcp, class OnOption>
  void Feed(std::string_view bytes, std::string& toClient, OnLine&& onLine, OnMssp&& onMssp,
            OnGmcp&& onGmcp, OnOption&& onOption);
  template <class OnLine, class OnMssp, class OnGmcp>
  void Feed(std::string_view bytes, std::string& toClient, OnLine&& onLine, OnMssp&& onMssp,
            OnGmcp&& onGmcp) {
    Feed(bytes, toClient, onLine, onMssp, onGmcp, [](const OptionNews&) {});
  }
  template <class OnLine, class OnMssp>
  void Feed(std::string_view bytes, std::string& toClient, OnLine&& onLine, OnMssp&& onMssp) {
    Feed(bytes, toClient, onLine, onMssp, [](std::string_view) {});
  }

  // Whether the client agreed to GMCP.
  bool GmcpOn() const { return gmcp_ == Agreement::Yes; }

  // The commands (negotiations, subnegotiations, others) read since the last call: the
  // work they cost, for the connection's pace.
  std::size_t TakeCommands() { return std::exchange(commands_, 0); }

  // Bytes of the unfinished line held now; never more than maxLineBytes + 1.
  std::size_t Buffered() const { return line_.size(); }

  // Where the stream stands (an unfinished line, command or subnegotiation) and what
  // was agreed of each option, as the fields of one record.
  // REQUIRES: the commands read were taken (TakeCommands); they are not carried.
  void SaveState(base::FieldWriter& out) const;
  // False, leaving the reader as it was made, when `in` holds no reader's state within
  // this reader's limits.
  bool RestoreState(base::FieldReader& in);

 private:
  enum class State : std::uint8_t {
    Data,        // text of a line
    Command,     // after IAC
    Option,      // after IAC and a verb (verb_): the next byte names the option
    SubOption,   // after IAC SB: the next byte names the option
    SubData,     // inside a subnegotiation: skipped up to IAC SE
    SubCommand,  // after IAC inside a subnegotiation
  };
  // One side of an option (RFC 1143 without queues: the server never withdraws an
  // offer or a request itself).
  enum class Agreement : std::uint8_t {
    No,       // off; the other side's request turns it on
    WantYes,  // offered or asked for, no answer yet
    Yes,      // on
  };
  enum class Event : std::uint8_t { None, LineEnd, MsspOn, GmcpMessage, Option };

  // Takes bytes from the front of `bytes` up to and including the first one that makes
  // an event, or all of them; returns how many it took and sets `event`.
  std::size_t Consume(std::string_view bytes, std::string& toClient, Event& event);
  Event Step(unsigned char byte, std::string& toClient);
  Event Negotiate(unsigned char verb, unsigned char option, std::string& toClient);
  Event EndSubnegotiation();
  // Our side of `option` (the options we offer), or the client's (those we ask for or
  // agree to); nullptr for every other option.
  Agreement* Ours(unsigned char option);
  Agreement* Theirs(unsigned char option);
  // How many bytes of a subnegotiation of `option` are kept now; 0: it is skipped.
  std::size_t KeptBytes(unsigned char option) const;
  void TakeLine();
  void KeepSubByte(unsigned char byte);

  std::size_t maxLineBytes_;
  std::string line_;  // the unfinished line, at most maxLineBytes_ + 1 bytes
  State state_ = State::Data;
  unsigned char verb_ = 0;  // WILL, WONT, DO or DONT while state_ is Option
  Agreement mssp_ = Agreement::No;
  Agreement gmcp_ = Agreement::No;
  Agreement charset_ = Agreement::No;        // our CHARSET: we may send REQUEST
  Agreement theirCharset_ = Agreement::No;   // theirs: the client may send REQUEST
  Agreement ttype_ = Agreement::No;
  Agreement environ_ = Agreement::No;
  bool subKept_ = false;       // the subnegotiation being read is kept in sub_
  unsigned char subOption_ = 0;  // its option, while subKept_
  std::string sub_;            // its bytes, at most KeptBytes(subOption_) + 1
  OptionNews news_;            // what an Option event tells
  std::size_t commands_ = 0;   // commands read since TakeCommands
};

template <class OnLine, class OnMssp, class OnGmcp, class OnOption>
void TelnetReader::Feed(std::string_view bytes, std::string& toClient, OnLine&& onLine,
                        OnMssp&& onMssp, OnGmcp&& onGmcp, OnOption&& onOption) {
  while (!bytes.empty()) {
    Event event = Event::None;
    bytes.remove_prefix(Consume(bytes, toClient, event));
    if (event == Event::LineEnd && !line_.empty()) {
      onLine(std::string_view(line_));
      TakeLine();
    } else if (event == Event::MsspOn) {
      onMssp();
    } else if (event == Event::GmcpMessage) {
      onGmcp(std::string_view(sub_));
      std::string().swap(sub_);
    } else if (event == Event::Option) {
      onOption(news_);
      if (news_.kind == OptionNews::Kind::Subnegotiation) std::string().swap(sub_);
      news_ = {};
    }
  }
}

}  // namespace telnet
