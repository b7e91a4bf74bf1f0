#include "telnet/client_query.h"

#include <charconv>
#include <optional>

#include "base/field_list.h"
#include "telnet/telnet_protocol.h"

namespace telnet {

namespace {

constexpr std::uint8_t kMaxTtypeQuestions = 3;
// A NEW-ENVIRON name or value is compared only up to this many bytes: the one read
// is far shorter, so a longer one can never be it.
constexpr std::size_t kMaxEnvironBytes = 32;
constexpr std::string_view kScreenReaderVariable = "SCREEN_READER";

// Appends IAC SB `option` `payload` IAC SE, the byte 255 doubled.
void AppendSub(std::string& out, unsigned char option, std::string_view payload) {
  out += static_cast<char>(kIac);
  out += static_cast<char>(kSb);
  out += static_cast<char>(option);
  for (const char ch : payload) {
    out += ch;
    if (static_cast<unsigned char>(ch) == kIac) out += ch;
  }
  out += static_cast<char>(kIac);
  out += static_cast<char>(kSe);
}

char Byte(unsigned char value) { return static_cast<char>(value); }

bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
    if (lower(a[i]) != lower(b[i])) return false;
  }
  return true;
}

bool NamesUtf8(std::string_view charset) {
  return EqualsIgnoringCase(charset, "UTF-8") || EqualsIgnoringCase(charset, "UTF8");
}

// The bits of an MTTS answer ("MTTS 137"), or nothing when `value` is none.
std::optional<unsigned> MttsBits(std::string_view value) {
  constexpr std::string_view kPrefix = "MTTS ";
  if (value.substr(0, kPrefix.size()) != kPrefix || value.size() == kPrefix.size()) return std::nullopt;
  unsigned bits = 0;
  const char* end = value.data() + value.size();
  const auto [at, error] = std::from_chars(value.data() + kPrefix.size(), end, bits);
  if (error != std::errc() || at != end) return std::nullopt;
  return bits;
}

bool IsTrue(std::string_view value) {
  return value == "1" || EqualsIgnoringCase(value, "true") || EqualsIgnoringCase(value, "yes") ||
         EqualsIgnoringCase(value, "on");
}

}  // namespace

std::string_view ClientLabel(std::string_view name) {
  for (const std::string_view known : kKnownClients) {
    if (name.size() < known.size() || !EqualsIgnoringCase(name.substr(0, known.size()), known)) continue;
    if (name.size() == known.size()) return known;
    const char after = name[known.size()];
    if (after == ' ' || after == '/' || after == '-') return known;
  }
  return kOtherClient;
}

void ClientQuery::Take(const OptionNews& news, std::string& toClient) {
  if (news.kind == OptionNews::Kind::Subnegotiation) {
    if (news.option == kOptionTtype) TakeTtype(news.data, toClient);
    if (news.option == kOptionCharset) TakeCharset(news.data, toClient);
    if (news.option == kOptionNewEnviron) TakeEnviron(news.data);
    return;
  }
  if (news.option == kOptionTtype && !news.ours && ttypeAsked_ == 0) {
    AppendSub(toClient, kOptionTtype, std::string(1, Byte(kTtypeSend)));
    ttypeAsked_ = 1;
  } else if (news.option == kOptionNewEnviron && !news.ours && !environAsked_) {
    std::string send{Byte(kEnvironSend), Byte(kEnvironUserVar)};
    send += kScreenReaderVariable;
    AppendSub(toClient, kOptionNewEnviron, send);
    environAsked_ = true;
  } else if (news.option == kOptionCharset && news.ours && !charsetAsked_) {
    AppendSub(toClient, kOptionCharset, std::string{Byte(kCharsetRequest)} + ";UTF-8");
    charsetAsked_ = true;
    charsetWaiting_ = true;
  }
}

void ClientQuery::TakeTtype(std::string_view data, std::string& toClient) {
  if (data.empty() || static_cast<unsigned char>(data[0]) != kTtypeIs || ttypeAnswered_ >= ttypeAsked_) return;
  ++ttypeAnswered_;
  const std::string_view value = data.substr(1, kMaxClientNameBytes);
  if (ttypeAnswered_ == 1) {
    name_.assign(value);
  } else if (const std::optional<unsigned> bits = MttsBits(value)) {
    screenReader_ = screenReader_ || (*bits & kMttsScreenReader) != 0;
    utf8_ = utf8_ || (*bits & kMttsUtf8) != 0;
    return;  // the end of an MTTS client's list
  }
  // A client that is not an MTTS one repeats its one type, or the last of its list.
  const bool repeated = ttypeAnswered_ > 1 && value == ttypeLast_;
  ttypeLast_.assign(value);
  if (repeated || ttypeAsked_ >= kMaxTtypeQuestions) return;
  AppendSub(toClient, kOptionTtype, std::string(1, Byte(kTtypeSend)));
  ++ttypeAsked_;
}

void ClientQuery::TakeCharset(std::string_view data, std::string& toClient) {
  if (data.empty()) return;
  const auto kind = static_cast<unsigned char>(data[0]);
  std::string_view rest = data.substr(1);
  if (kind == kCharsetAccepted || kind == kCharsetRejected || kind == kCharsetTtableIs) {
    if (!charsetWaiting_) return;  // no answer to anything we asked
    charsetWaiting_ = false;
    if (kind == kCharsetAccepted && NamesUtf8(rest)) utf8_ = true;
    // We offered no translation table: one sent anyway is refused, which ends it.
    if (kind == kCharsetTtableIs) AppendSub(toClient, kOptionCharset, std::string(1, Byte(kCharsetTtableRejected)));
    return;
  }
  // The server's request goes first: while it waits, the client answers it and its
  // own request is not answered.
  if (kind != kCharsetRequest || charsetWaiting_) return;
  constexpr std::string_view kTtable = "[TTABLE]";
  if (rest.substr(0, kTtable.size()) == kTtable) rest.remove_prefix(std::min(rest.size(), kTtable.size() + 1));
  bool listed = false;
  if (!rest.empty()) {
    const char separator = rest[0];
    rest.remove_prefix(1);
    for (std::size_t at = 0; at <= rest.size() && !listed;) {
      const std::size_t end = std::min(rest.find(separator, at), rest.size());
      listed = NamesUtf8(rest.substr(at, end - at));
      at = end + 1;
    }
  }
  if (listed) {
    utf8_ = true;
    AppendSub(toClient, kOptionCharset, std::string{Byte(kCharsetAccepted)} + "UTF-8");
  } else {
    AppendSub(toClient, kOptionCharset, std::string(1, Byte(kCharsetRejected)));
  }
}

void ClientQuery::TakeEnviron(std::string_view data) {
  if (!environAsked_ || data.empty()) return;
  const auto kind = static_cast<unsigned char>(data[0]);
  if (kind != kEnvironIs && kind != kEnvironInfo) return;
  // The list: (VAR or USERVAR) name [VALUE value], ...; ESC takes the next byte as it is.
  std::string name;
  std::string value;
  bool named = false;
  bool valued = false;  // a VALUE came: the variable is defined
  const auto finish = [&] {
    if (named && valued && name == kScreenReaderVariable && IsTrue(value)) screenReader_ = true;
  };
  for (std::size_t i = 1; i < data.size(); ++i) {
    auto c = static_cast<unsigned char>(data[i]);
    if (c == kEnvironVar || c == kEnvironUserVar) {
      finish();
      name.clear();
      value.clear();
      named = true;
      valued = false;
      continue;
    }
    if (c == kEnvironValue) {
      valued = true;
      value.clear();
      continue;
    }
    if (c == kEnvironEsc) {
      if (++i == data.size()) break;
      c = static_cast<unsigned char>(data[i]);
    }
    std::string& into = valued ? value : name;
    if (into.size() < kMaxEnvironBytes) into += static_cast<char>(c);
  }
  finish();
}

template <class Io, class Self>
void ClientQuery::Fields(Io& io, Self& s) {
  io.Unsigned(1, s.ttypeAsked_);
  io.Unsigned(2, s.ttypeAnswered_);
  io.Bytes(3, s.ttypeLast_);
  io.Bytes(4, s.name_);
  io.Bool(5, s.environAsked_);
  io.Bool(6, s.charsetAsked_);
  io.Bool(7, s.charsetWaiting_);
  io.Bool(8, s.screenReader_);
  io.Bool(9, s.utf8_);
}

void ClientQuery::SaveState(base::FieldWriter& out) const { base::SaveFields(out, *this); }

bool ClientQuery::RestoreState(base::FieldReader& in) {
  ClientQuery restored;
  if (!base::LoadFields(in, restored) || restored.ttypeAsked_ > kMaxTtypeQuestions ||
      restored.ttypeAnswered_ > restored.ttypeAsked_ || restored.ttypeLast_.size() > kMaxClientNameBytes ||
      restored.name_.size() > kMaxClientNameBytes || (restored.charsetWaiting_ && !restored.charsetAsked_)) {
    return false;
  }
  *this = std::move(restored);
  return true;
}

}  // namespace telnet
