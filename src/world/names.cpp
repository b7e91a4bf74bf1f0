#include "world/names.h"

#include <unicode/ucasemap.h>
#include <unicode/uspoof.h>

#include <algorithm>
#include <cstdint>

namespace world {

namespace {

// ICU's checker and case map, made at their first use and kept for the life of the
// process. ICU lets any number of threads use them at once through their const
// functions. Null when ICU could not make one (its data missing): each function
// below then falls back to the bytes of the name.
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

const UCaseMap* CaseMap() {
  static const UCaseMap* const caseMap = [] {
    UErrorCode status = U_ZERO_ERROR;
    UCaseMap* made = ucasemap_open("", U_FOLD_CASE_DEFAULT, &status);
    if (U_FAILURE(status)) {
      ucasemap_close(made);
      return static_cast<UCaseMap*>(nullptr);
    }
    return made;
  }();
  return caseMap;
}

// Runs `convert(out, capacity, status)`, an ICU conversion into UTF-8, with room
// enough; `text` itself when the conversion fails or the text is too long for ICU.
template <typename Convert>
std::string Converted(std::string_view text, Convert convert) {
  if (text.size() > INT32_MAX / 4) return std::string(text);
  std::string out(text.size() + text.size() / 2 + 16, '\0');
  UErrorCode status = U_ZERO_ERROR;
  std::int32_t length = convert(out.data(), static_cast<std::int32_t>(out.size()), &status);
  if (status == U_BUFFER_OVERFLOW_ERROR) {
    out.resize(static_cast<std::size_t>(length));
    status = U_ZERO_ERROR;
    length = convert(out.data(), length, &status);
  }
  if (U_FAILURE(status)) return std::string(text);
  out.resize(static_cast<std::size_t>(length));
  return out;
}

std::string FoldCase(std::string_view text) {
  const UCaseMap* caseMap = CaseMap();
  if (caseMap == nullptr) return std::string(text);
  return Converted(text, [&](char* out, std::int32_t capacity, UErrorCode* status) {
    return ucasemap_utf8FoldCase(caseMap, out, capacity, text.data(),
                                 static_cast<std::int32_t>(text.size()), status);
  });
}

}  // namespace

std::string NameSkeleton(std::string_view name) {
  const USpoofChecker* checker = Checker();
  if (checker == nullptr) return std::string(name);
  return Converted(name, [&](char* out, std::int32_t capacity, UErrorCode* status) {
    return uspoof_getSkeletonUTF8(checker, 0, name.data(), static_cast<std::int32_t>(name.size()),
                                  out, capacity, status);
  });
}

bool SameButForCase(std::string_view a, std::string_view b) { return FoldCase(a) == FoldCase(b); }

void NameIndex::Add(std::string_view name) {
  bySkeleton_[NameSkeleton(name)].emplace_back(name);
  ++size_;
}

void NameIndex::Remove(std::string_view name) {
  const auto it = bySkeleton_.find(NameSkeleton(name));
  if (it == bySkeleton_.end()) return;
  std::vector<std::string>& names = it->second;
  const auto held = std::find(names.begin(), names.end(), name);
  if (held == names.end()) return;
  names.erase(held);
  --size_;
  if (names.empty()) bySkeleton_.erase(it);
}

void NameIndex::Clear() {
  bySkeleton_.clear();
  size_ = 0;
}

bool NameIndex::HoldsLookalikeOf(std::string_view name) const {
  const auto it = bySkeleton_.find(NameSkeleton(name));
  if (it == bySkeleton_.end()) return false;
  return std::any_of(it->second.begin(), it->second.end(), [&](const std::string& held) {
    return held != name && !SameButForCase(held, name);
  });
}

}  // namespace world
