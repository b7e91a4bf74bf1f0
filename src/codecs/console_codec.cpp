#include "codecs/console_codec.h"

#include "base/field_list.h"

namespace codecs {

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

template <class Io, class Self>
void ConsoleCodec::Fields(Io& io, Self& s) {
  io.Bool(2, s.done_);
  if (!s.done_) io.Bytes(1, s.line_);  // once done, what is left of it matters no more
}

void ConsoleCodec::SaveState(base::FieldWriter& out) const { base::SaveFields(out, *this); }

bool ConsoleCodec::RestoreState(base::FieldReader& in) {
  return base::LoadFields(in, *this) && line_.size() <= kMaxConsoleCommandBytes &&
         line_.find('\n') == std::string::npos;
}

}  // namespace codecs
