#include "persist/save_reader.h"

#include <type_traits>

#include "base/number.h"
#include "persist/save_format.h"
#include "world/territory.h"

namespace persist {

namespace {

// The lines of a file, one at a time, counted from 1.
struct LineCursor {
  std::string_view rest;
  std::size_t lineNumber = 0;  // of the line Next last gave

  // The next line, without its line end. False at the end of the file, and before a
  // last piece that has no line end (the file was cut there); `rest` then holds it. A
  // last piece that is exactly an end marker is whole: only its line feed is missing.
  bool Next(std::string_view& line) {
    const std::size_t end = rest.find('\n');
    if (end == std::string_view::npos) {
      std::string_view last = rest;
      if (!last.empty() && last.back() == '\r') last.remove_suffix(1);
      if (last != kRecordEnd && last != kCharactersEnd) return false;
      line = last;
      rest = {};
      ++lineNumber;
      return true;
    }
    line = rest.substr(0, end);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    rest.remove_prefix(end + 1);
    ++lineNumber;
    return true;
  }
};

void Report(SaveContents& out, std::string message) {
  out.messages += message;
  out.leftOut = true;
}

void ReportTruncated(SaveContents& out) {
  Report(out, "Save file truncated, loaded " + std::to_string(out.characters.size()) +
                  " characters.\n");
}

// Fills one field of `c` from its line. False when a number or flag line holds no
// number; the field is then left as it was.
bool ReadField(const RecordMember& member, std::string_view line, world::Character& c) {
  return std::visit(
      [&](auto field) {
        using Value = std::remove_reference_t<decltype(c.*field)>;
        if constexpr (std::is_same_v<Value, std::string>) {
          c.*field = std::string(line);
          return true;
        } else if constexpr (std::is_same_v<Value, base::StoredPassword>) {
          c.*field = line;
          return true;
        } else {
          const std::optional<std::int32_t> number = base::LeadingInt32(line);
          if (!number) return false;
          if constexpr (std::is_same_v<Value, bool>) {
            c.*field = *number != 0;
          } else {
            c.*field = static_cast<Value>(*number);  // Role and Clan take any number unchanged
          }
          return true;
        }
      },
      member);
}

}  // namespace

SaveContents ParseSave(std::string_view bytes) {
  SaveContents out;
  LineCursor in{bytes};
  std::string_view line;

  if (!in.Next(line)) {
    // No whole first line: an empty file, or one cut inside its first line.
    std::string_view piece = in.rest;
    if (!piece.empty() && piece.back() == '\r') piece.remove_suffix(1);
    if (piece == kMagic) {
      ReportTruncated(out);
    } else {
      Report(out, "Magic string missing, load failed.\n");
    }
    return out;
  }
  if (line != kMagic) {
    Report(out, "Magic string missing, load failed.\n");
    return out;
  }

  for (const auto counter : kClockFields) {
    if (!in.Next(line)) {
      ReportTruncated(out);
      return out;
    }
    const std::optional<std::int32_t> value = base::LeadingInt32(line);
    if (value) {
      out.clock.*counter = *value;
    } else {
      Report(out, "Bad value on line " + std::to_string(in.lineNumber) + ", clock left at 0.\n");
    }
  }

  if (!in.Next(line)) {
    ReportTruncated(out);
    return out;
  }
  if (line != kCharactersBegin) {
    Report(out, "Chars section missing.\n");
    return out;
  }

  for (;;) {
    // Any line but the section's end begins a record; it is not compared with "CHARA".
    if (!in.Next(line)) {
      ReportTruncated(out);
      return out;
    }
    if (line == kCharactersEnd) return out;

    auto c = std::make_unique<world::Character>();
    bool bad = false;
    for (const RecordField& field : kRecordFields) {
      if (!in.Next(line)) {
        ReportTruncated(out);
        return out;
      }
      if (!ReadField(field.member, line, *c) && !bad) {
        bad = true;
        Report(out, "Bad value on line " + std::to_string(in.lineNumber) +
                        ", character left out.\n");
      }
    }
    if (!in.Next(line)) {
      ReportTruncated(out);
      return out;
    }
    if (bad) continue;
    if (line != kRecordEnd) {
      out.leftOut = true;  // silently, as a record without its end always was
      continue;
    }
    world::MoveOntoMap(*c);
    out.characters.push_back(std::move(c));
  }
}

}  // namespace persist
