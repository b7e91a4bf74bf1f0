#include "codecs/console_codec.h"

#include <cstdint>

namespace codecs {

namespace {

enum Tag : std::uint32_t {
  kLine = 1,
  kDone = 2,
};

}  // namespace

void ConsoleCodec::Read(std::string_view bytes, connection::CodecEvents& events, std::string& toPeer) {
  if (done_) return;
  const std::size_t feed = bytes.find('\n');
  line_.append(bytes.substr(0, std::min(feed, kMaxConsoleCommandBytes + 1 - line_.size())));
  if (line_.size() > kMaxConsoleCommandBytes) {
    done_ = true;
    toPeer += "Command too long.\n";
    toPeer += '\0';
    toPeer += '2';
    events.Done();
    return;
  }
  if (feed == std::string_view::npos) return;
  done_ = true;
  if (!line_.empty() && line_.back() == '\r') line_.pop_back();
  events.Admitted();
  events.Line(line_);
  events.Done();
  std::string().swap(line_);
}

void ConsoleCodec::Write(std::string_view text, std::string& out) {
  out += text;
  out += '\n';
}

void ConsoleCodec::Refuse(std::string_view text, std::string& out) {
  Write(text, out);
  out += '\0';
  out += '1';
}

bool ConsoleCodec::WantsData(std::string_view message) const { return message.starts_with(kConsoleExit); }

void ConsoleCodec::WriteData(std::string_view message, std::string& out) {
  out += '\0';
  out += message.substr(std::min(message.size(), kConsoleExit.size() + 1));
}

// Once done, what is left of the line matters no more (a refused one is still held).
void ConsoleCodec::SaveState(base::FieldWriter& out) const {
  if (!done_) out.Bytes(kLine, line_);
  out.Bool(kDone, done_);
}

bool ConsoleCodec::RestoreState(base::FieldReader& in) {
  const std::string_view line = in.Bytes(kLine);
  done_ = in.Bool(kDone);
  if (!in.Good() || line.size() > kMaxConsoleCommandBytes ||
      line.find('\n') != std::string_view::npos || (done_ && !line.empty()))
    return false;
  line_.assign(line);
  return true;
}

}  // namespace codecs
