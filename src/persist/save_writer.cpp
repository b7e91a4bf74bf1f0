#include "persist/save_writer.h"

#include <algorithm>
#include <charconv>
#include <type_traits>

#include "persist/save_format.h"

namespace persist {

namespace {

void AppendLine(std::string& out, std::string_view line) {
  out += line;
  out += '\n';
}

void AppendText(std::string& out, std::string_view text) {
  const std::size_t start = out.size();
  AppendLine(out, text);
  for (std::size_t i = start; i + 1 < out.size(); ++i) {
    if (out[i] == '\n' || out[i] == '\r') out[i] = ' ';
  }
}

void AppendNumber(std::string& out, std::int32_t value) {
  char digits[16];
  const auto result = std::to_chars(digits, digits + sizeof digits, value);
  AppendLine(out, std::string_view(digits, static_cast<std::size_t>(result.ptr - digits)));
}

void AppendRecord(std::string& out, const world::Character& c) {
  AppendLine(out, kRecordBegin);
  for (const RecordField& field : kRecordFields) {
    std::visit(
        [&](auto member) {
          using Value = std::remove_cvref_t<decltype(c.*member)>;
          if constexpr (std::is_same_v<Value, std::string>) {
            AppendText(out, c.*member);
          } else if constexpr (std::is_same_v<Value, base::StoredPassword>) {
            AppendText(out, (c.*member).Text());
          } else if constexpr (std::is_same_v<Value, bool>) {
            AppendLine(out, c.*member ? "1" : "0");
          } else {
            AppendNumber(out, static_cast<std::int32_t>(c.*member));
          }
        },
        field.member);
  }
  AppendLine(out, kRecordEnd);
}

}  // namespace

std::string FormatSave(const world::GameClockState& clock,
                       const std::vector<const world::Character*>& characters,
                       std::size_t expectedBytes) {
  std::string out;
  out.reserve(std::max(64 + characters.size() * 160, expectedBytes + expectedBytes / 16));
  AppendLine(out, kMagic);
  for (const auto counter : kClockFields) AppendNumber(out, clock.*counter);
  AppendLine(out, kCharactersBegin);
  for (const world::Character* c : characters) AppendRecord(out, *c);
  AppendLine(out, kCharactersEnd);
  return out;
}

}  // namespace persist
