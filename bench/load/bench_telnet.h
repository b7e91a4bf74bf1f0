// The telnet side of the telnet scenario's players: a line as a telnet client types
// it, and the server's lines taken out of the byte stream. The players answer none of
// the server's option negotiation; they skip it (IAC WILL/WONT/DO/DONT x, IAC SB ...
// IAC SE, and the two-byte commands), wherever a read cuts it. One reader per
// connection; no I/O of its own.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace bench {

// Appends `text` as one telnet line: the byte 255 doubled, CR LF at the end.
void AppendTelnetLine(std::string& out, std::string_view text);

class TelnetLines {
 public:
  // Feeds received bytes; calls onLine(std::string_view) for every line that ends in
  // them (at LF, a CR before it dropped), empty lines too.
  template <class OnLine>
  void Feed(std::string_view bytes, OnLine&& onLine) {
    for (const char c : bytes) {
      if (Take(static_cast<unsigned char>(c))) {
        onLine(std::string_view(line_));
        line_.clear();
      }
    }
  }

 private:
  enum class State : std::uint8_t {
    Data,        // text of a line
    Command,     // after IAC
    Option,      // after IAC and WILL, WONT, DO or DONT: the option byte follows
    Sub,         // inside IAC SB, up to IAC SE
    SubCommand,  // after IAC inside a subnegotiation
  };
  bool Take(unsigned char byte);  // true when `byte` ended a line

  State state_ = State::Data;
  std::string line_;
};

}  // namespace bench
