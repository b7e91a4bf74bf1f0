#include "base/stored_password.h"

#include <sodium.h>

#include <mutex>
#include <optional>
#include <span>
#include <utility>

namespace base {

namespace {

constexpr std::string_view kDecodedPrefix = "$argon2id$";
constexpr int kVariant = sodium_base64_VARIANT_ORIGINAL_NO_PADDING;

// The parameters of the hashes held ("$argon2id$v=19$m=19456,t=2,p=1$"): a server
// makes its own hashes at one cost, and a save file holds a few costs more at most.
// Entries are added, never changed or removed; once it is full, texts with parameters
// of their own are kept whole.
class ParameterTable {
 public:
  std::optional<std::uint8_t> PlaceOf(std::string_view parameters) {
    std::lock_guard<std::mutex> guard(mutex_);
    for (std::size_t i = 0; i < count_; ++i) {
      if (entries_[i] == parameters) return static_cast<std::uint8_t>(i);
    }
    if (count_ == entries_.size()) return std::nullopt;
    entries_[count_] = std::string(parameters);
    return static_cast<std::uint8_t>(count_++);
  }
  // REQUIRES: `place` was given by PlaceOf.
  std::string At(std::uint8_t place) {
    std::lock_guard<std::mutex> guard(mutex_);
    return entries_[place];
  }

 private:
  std::mutex mutex_;
  std::array<std::string, 16> entries_;
  std::size_t count_ = 0;
};

ParameterTable& Parameters() {
  static ParameterTable table;
  return table;
}

void AppendBase64(std::string& out, std::span<const unsigned char> bytes) {
  char encoded[sodium_base64_ENCODED_LEN(32, kVariant)];
  static_assert(sizeof encoded >= sodium_base64_ENCODED_LEN(16, kVariant));
  out += sodium_bin2base64(encoded, sizeof encoded, bytes.data(), bytes.size(), kVariant);
}

// Decodes `text` into exactly `into`, and only when encoding `into` again gives `text`
// back (base64 leaves spare bits that a decoder ignores).
bool DecodeExactly(std::string_view text, std::span<unsigned char> into) {
  std::size_t length = 0;
  const char* end = nullptr;
  if (sodium_base642bin(into.data(), into.size(), text.data(), text.size(), nullptr, &length, &end,
                        kVariant) != 0 ||
      length != into.size() || end != text.data() + text.size()) {
    return false;
  }
  std::string again;
  AppendBase64(again, into);
  return again == text;
}

}  // namespace

StoredPassword::StoredPassword(std::string_view text) {
  if (text.empty()) return;
  const std::size_t hashAt = text.rfind('$');
  const std::size_t saltAt = hashAt == std::string_view::npos || hashAt == 0 ? std::string_view::npos
                                                                              : text.rfind('$', hashAt - 1);
  Form decoded;
  decoded.saltAndHash = {};
  const std::span<unsigned char> bytes(decoded.saltAndHash);
  if (text.starts_with(kDecodedPrefix) && saltAt != std::string_view::npos && saltAt >= kDecodedPrefix.size() &&
      DecodeExactly(text.substr(saltAt + 1, hashAt - saltAt - 1), bytes.first(kSaltBytes)) &&
      DecodeExactly(text.substr(hashAt + 1), bytes.subspan(kSaltBytes))) {
    if (const std::optional<std::uint8_t> place = Parameters().PlaceOf(text.substr(0, saltAt + 1))) {
      form_ = decoded;
      parameters_ = *place;
      return;
    }
  }
  form_.whole = new std::string(text);
}

StoredPassword::StoredPassword(const StoredPassword& other) : parameters_(other.parameters_) {
  if (Compact()) {
    form_ = other.form_;
  } else if (other.form_.whole != nullptr) {
    form_.whole = new std::string(*other.form_.whole);
  }
}

StoredPassword::StoredPassword(StoredPassword&& other) noexcept
    : form_(std::exchange(other.form_, Form{})), parameters_(std::exchange(other.parameters_, kWhole)) {}

StoredPassword& StoredPassword::operator=(const StoredPassword& other) {
  if (this != &other) *this = StoredPassword(other);
  return *this;
}

StoredPassword& StoredPassword::operator=(StoredPassword&& other) noexcept {
  if (this != &other) {
    Release();
    form_ = std::exchange(other.form_, Form{});
    parameters_ = std::exchange(other.parameters_, kWhole);
  }
  return *this;
}

StoredPassword::~StoredPassword() { Release(); }

void StoredPassword::Release() {
  if (!Compact()) delete form_.whole;
  form_ = Form{};
  parameters_ = kWhole;
}

std::string StoredPassword::Text() const {
  if (!Compact()) return form_.whole == nullptr ? std::string() : *form_.whole;
  const std::span<const unsigned char> bytes(form_.saltAndHash);
  std::string text = Parameters().At(parameters_);
  AppendBase64(text, bytes.first(kSaltBytes));
  text += '$';
  AppendBase64(text, bytes.subspan(kSaltBytes));
  return text;
}

}  // namespace base
