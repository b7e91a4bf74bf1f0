#include "world/names.h"

#include <unicode/uchar.h>
#include <unicode/unorm2.h>
#include <unicode/ustring.h>
#include <unicode/utf16.h>
#include <unicode/uset.h>
#include <unicode/uspoof.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <string_view>
#include <utility>

#include "base/utf8.h"

namespace world {

namespace {

// ICU's spoof checker, made at its first use and kept for the life of the process.
// ICU lets any number of threads use it at once through its const functions. Null when
// ICU could not make one (its data missing): names then read as they are written.
const USpoofChecker* Checker() {
  static const USpoofChecker* const checker = [] {
    UErrorCode status = U_ZERO_ERROR;
    USpoofChecker* made = uspoof_open(&status);
    if (U_SUCCESS(status)) uspoof_setChecks(made, USPOOF_CONFUSABLE, &status);
    if (U_FAILURE(status)) {
      uspoof_close(made);
      return static_cast<USpoofChecker*>(nullptr);
    }
    return made;
  }();
  return checker;
}

// ICU's checker of identifiers as UTS #39 restricts them: only the characters it allows
// in identifiers (its recommended and inclusion sets), from a single script besides
// Common and Inherited (Han with kana, or Han with Hangul, count as one, as Japanese and
// Korean write them), and digits of one system. Made and kept as Checker() is. Null
// when ICU could not make it: names are then checked for unknown characters only.
const USpoofChecker* IdentifierChecker() {
  static const USpoofChecker* const checker = [] {
    UErrorCode status = U_ZERO_ERROR;
    const USet* recommended = uspoof_getRecommendedSet(&status);
    const USet* inclusion = uspoof_getInclusionSet(&status);
    USpoofChecker* made = uspoof_open(&status);
    if (U_FAILURE(status)) {
      uspoof_close(made);
      return static_cast<USpoofChecker*>(nullptr);
    }
    USet* allowed = uset_cloneAsThawed(recommended);
    if (allowed == nullptr) {
      uspoof_close(made);
      return static_cast<USpoofChecker*>(nullptr);
    }
    uset_addAll(allowed, inclusion);
    uspoof_setAllowedChars(made, allowed, &status);  // copies the set
    uset_close(allowed);
    uspoof_setRestrictionLevel(made, USPOOF_SINGLE_SCRIPT_RESTRICTIVE);
    uspoof_setChecks(made, USPOOF_RESTRICTION_LEVEL | USPOOF_CHAR_LIMIT | USPOOF_MIXED_NUMBERS, &status);
    if (U_FAILURE(status)) {
      uspoof_close(made);
      return static_cast<USpoofChecker*>(nullptr);
    }
    return made;
  }();
  return checker;
}

// True when `name`, well-formed UTF-8, passes the identifier checker.
bool IdentifierAllowed(std::string_view name) {
  const USpoofChecker* checker = IdentifierChecker();
  if (checker == nullptr) return true;
  UErrorCode status = U_ZERO_ERROR;
  const std::int32_t failed = uspoof_check2UTF8(checker, name.data(), static_cast<std::int32_t>(name.size()),
                                                nullptr, &status);
  return U_SUCCESS(status) && failed == 0;
}

// The fillers of the Hangul script: letters by their category that show as nothing.
bool HangulFiller(char32_t code) {
  return code == 0x115F || code == 0x1160 || code == 0x3164 || code == 0xFFA0;
}

bool HiddenInName(char32_t code) {
  const auto c = static_cast<UChar32>(code);
  if (code < 0x20 || (code >= 0x7F && code <= 0x9F)) return true;
  switch (u_charType(c)) {
    case U_CONTROL_CHAR:
    case U_FORMAT_CHAR:
    case U_SPACE_SEPARATOR:
    case U_LINE_SEPARATOR:
    case U_PARAGRAPH_SEPARATOR:
      return true;
    default:
      break;
  }
  return u_hasBinaryProperty(c, UCHAR_DEFAULT_IGNORABLE_CODE_POINT) ||
         u_hasBinaryProperty(c, UCHAR_VARIATION_SELECTOR) || HangulFiller(code) ||
         code == 0x2800;
}

// Replaces `text` with what `convert(text, out, capacity, status)`, an ICU function
// into UTF-16, makes of it. Returns false, leaving `text` as it was, when ICU fails.
template <typename Convert>
bool Convert16(std::u16string& text, Convert convert) {
  std::u16string out(text.size() * 2 + 16, u'\0');
  UErrorCode status = U_ZERO_ERROR;
  std::int32_t length = convert(text, out.data(), static_cast<std::int32_t>(out.size()), &status);
  if (status == U_BUFFER_OVERFLOW_ERROR) {
    out.resize(static_cast<std::size_t>(length));
    status = U_ZERO_ERROR;
    length = convert(text, out.data(), length, &status);
  }
  if (U_FAILURE(status)) return false;
  out.resize(static_cast<std::size_t>(length));
  text = std::move(out);
  return true;
}

std::int32_t Length(const std::u16string& text) { return static_cast<std::int32_t>(text.size()); }

// `name` in UTF-16, every byte that is no part of a well-formed character as U+FFFD.
std::u16string ToUtf16(std::string_view name) {
  std::u16string text(name.size(), u'\0');  // never more units than bytes
  UErrorCode status = U_ZERO_ERROR;
  std::int32_t length = 0;
  u_strFromUTF8WithSub(text.data(), Length(text), &length, name.data(),
                       static_cast<std::int32_t>(name.size()), 0xFFFD, nullptr, &status);
  if (U_FAILURE(status)) return std::u16string(name.begin(), name.end());
  text.resize(static_cast<std::size_t>(length));
  return text;
}

void Normalize(std::u16string& text, const UNormalizer2* normalizer) {
  if (normalizer == nullptr) return;
  Convert16(text, [&](const std::u16string& in, UChar* out, std::int32_t capacity, UErrorCode* status) {
    return unorm2_normalize(normalizer, in.data(), Length(in), out, capacity, status);
  });
}

void Fold(std::u16string& text) {
  Convert16(text, [](const std::u16string& in, UChar* out, std::int32_t capacity, UErrorCode* status) {
    return u_strFoldCase(out, capacity, in.data(), Length(in), U_FOLD_CASE_DEFAULT, status);
  });
}

void Skeleton(std::u16string& text) {
  const USpoofChecker* checker = Checker();
  if (checker == nullptr) return;
  Convert16(text, [&](const std::u16string& in, UChar* out, std::int32_t capacity, UErrorCode* status) {
    return uspoof_getSkeleton(checker, 0, in.data(), Length(in), out, capacity, status);
  });
}

// Drops every punctuation character and every mark.
void DropPunctuationAndMarks(std::u16string& text) {
  std::u16string kept;
  kept.reserve(text.size());
  for (std::int32_t at = 0; at < Length(text);) {
    const std::int32_t begin = at;
    UChar32 c;
    U16_NEXT(text.data(), at, Length(text), c);
    if ((U_GET_GC_MASK(c) & (U_GC_P_MASK | U_GC_M_MASK)) == 0) {
      kept.append(text, static_cast<std::size_t>(begin), static_cast<std::size_t>(at - begin));
    }
  }
  text = std::move(kept);
}

// How `text`, already normalised, reads: its skeleton in one letter case, without
// punctuation or marks (the skeleton decomposes letters, so their accents go too).
std::u16string Reading(std::u16string text) {
  DropPunctuationAndMarks(text);
  Skeleton(text);
  Fold(text);
  DropPunctuationAndMarks(text);
  return text;
}

const UNormalizer2* Normalizer(const UNormalizer2* (*instance)(UErrorCode*)) {
  UErrorCode status = U_ZERO_ERROR;
  const UNormalizer2* normalizer = instance(&status);
  return U_FAILURE(status) ? nullptr : normalizer;
}

// How `name` reads in any letter case, and as its letters are written.
std::u16string FoldedReadingOf(std::string_view name) {
  std::u16string folded = ToUtf16(name);
  Normalize(folded, Normalizer(unorm2_getNFKCCasefoldInstance));
  return Reading(std::move(folded));
}

std::u16string WrittenReadingOf(std::string_view name) {
  std::u16string written = ToUtf16(name);
  Normalize(written, Normalizer(unorm2_getNFKCInstance));
  return Reading(std::move(written));
}

std::size_t HashOf(std::string_view name) { return std::hash<std::string_view>{}(name); }
std::size_t HashOf(const std::u16string& reading) { return std::hash<std::u16string>{}(reading); }

}  // namespace

NameFault FaultOfName(std::string_view name) {
  bool letter = false;
  bool unknown = false;
  for (std::size_t at = 0; at < name.size();) {
    const std::size_t length = base::utf8::WellFormedLength(name, at);
    if (length == 0) return NameFault::Hidden;
    const char32_t code = base::utf8::Decode(name.substr(at, length));
    at += length;
    if (HiddenInName(code)) return NameFault::Hidden;
    letter = letter || u_isalpha(static_cast<UChar32>(code));
    // Unassigned here, whatever a newer Unicode makes of it: it cannot be read.
    unknown = unknown || u_charType(static_cast<UChar32>(code)) == U_UNASSIGNED;
  }
  if (!letter) return NameFault::NoLetter;
  return unknown || !IdentifierAllowed(name) ? NameFault::Unusual : NameFault::None;
}

void LoadNameData() {
  static constexpr std::string_view kAnyName = "Ashpaw";
  [[maybe_unused]] const NameFault fault = FaultOfName(kAnyName);
  [[maybe_unused]] const std::u16string folded = FoldedReadingOf(kAnyName);
  [[maybe_unused]] const std::u16string written = WrittenReadingOf(kAnyName);
}

void NameIndex::Add(std::string_view name) {
  const std::u16string folded = FoldedReadingOf(name);
  const std::u16string written = WrittenReadingOf(name);
  std::uint32_t slot = 0;
  if (free_.empty()) {
    slot = static_cast<std::uint32_t>(held_.size());
    held_.emplace_back();
  } else {
    slot = free_.back();
    free_.pop_back();
  }
  held_[slot] = Held{std::string(name), HashSlots::Kept(HashOf(folded)), HashSlots::Kept(HashOf(written))};
  byName_.Add(HashOf(name), slot);
  byFolded_.Add(held_[slot].folded, slot);
  byWritten_.Add(held_[slot].written, slot);
  ++size_;
}

std::optional<std::uint32_t> NameIndex::SlotOf(std::string_view name) const {
  return byName_.FindIf(HashOf(name), [&](std::uint32_t slot) { return held_[slot].name == name; });
}

void NameIndex::Remove(std::string_view name) {
  const std::optional<std::uint32_t> slot = SlotOf(name);
  if (!slot) return;
  Held& held = held_[*slot];
  byName_.Remove(HashOf(name), *slot);
  byFolded_.Remove(held.folded, *slot);
  byWritten_.Remove(held.written, *slot);
  held = Held{};
  free_.push_back(*slot);
  --size_;
}

void NameIndex::Clear() {
  *this = NameIndex();
}

bool NameIndex::Holds(std::string_view name) const { return SlotOf(name).has_value(); }

bool NameIndex::HoldsLookalikeOf(std::string_view name) const {
  // Entries are found by the hashes of the readings; a name found is checked against
  // the reading itself, so that two readings of one hash are never taken for one.
  const auto other = [&](const HashSlots& entries, const std::u16string& reading,
                         std::u16string (*readingOf)(std::string_view)) {
    return entries
        .FindIf(HashOf(reading),
                [&](std::uint32_t slot) {
                  const std::string& held = held_[slot].name;
                  return held != name && readingOf(held) == reading;
                })
        .has_value();
  };
  return other(byFolded_, FoldedReadingOf(name), FoldedReadingOf) ||
         other(byWritten_, WrittenReadingOf(name), WrittenReadingOf);
}

void PlayingNames::Add(std::string_view name, core::Socket connection) {
  byHash_.Add(HashOf(name), static_cast<std::uint32_t>(connection));
}

void PlayingNames::Remove(std::string_view name, core::Socket connection) {
  byHash_.Remove(HashOf(name), static_cast<std::uint32_t>(connection));
}

}  // namespace world
