// The operator's console as a codec, on its Unix socket. The client sends one command
// line, ending in a line feed; the server answers with the answer's lines, then a NUL
// and the command's exit code in decimal ("0" it did what it says, "1" it was refused
// or failed, "2" a format line or an unknown command), and closes.
#pragma once

#include <cstddef>
#include <string>

#include "connection/codec.h"

namespace codecs {

// A command line is at most this long; a longer one is answered "Command too long.".
inline constexpr std::size_t kMaxConsoleCommandBytes = 4096;

// The structured message that carries a command's exit code: "Console.Exit 1".
inline constexpr std::string_view kConsoleExit = "Console.Exit";

class ConsoleCodec final : public connection::Codec {
 public:
  bool PlaysFromStart() const override { return false; }
  const char* DoorName() const override { return "console"; }
  // The command line is admitted and reported as one line once its line feed comes,
  // and the codec is done; a line past the limit is answered by the codec itself.
  void Read(std::string_view bytes, connection::CodecEvents& events, std::string& toPeer) override;
  // Each frame of the answer as lines of text.
  void Write(std::string_view text, std::string& out) override;
  void Refuse(std::string_view text, std::string& out) override;
  // The exit code, after the answer's text: a NUL and its digits.
  bool WantsData(std::string_view message) const override;
  void WriteData(std::string_view message, std::string& out) override;
  // The command line so far, or that it was taken (base/field_list.h).
  template <class Io, class Self>
  static void Fields(Io& io, Self& s);
  void SaveState(base::FieldWriter& out) const override;
  bool RestoreState(base::FieldReader& in) override;

 private:
  std::string line_;  // the command so far, at most kMaxConsoleCommandBytes
  bool done_ = false;  // the command was taken or refused: nothing more is read
};

}  // namespace codecs
