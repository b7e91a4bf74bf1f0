#include "base/address.h"

#include <arpa/inet.h>

#include <cstring>
#include <string>

#include "base/number.h"

namespace base {

namespace {

constexpr std::uint8_t kMappedPrefix[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};

void ClearBelow(Address& address, unsigned bits) {
  for (unsigned i = 0; i < 16; ++i) {
    const unsigned first = i * 8;
    if (first >= bits) {
      address.bytes[i] = 0;
    } else if (first + 8 > bits) {
      address.bytes[i] &= static_cast<std::uint8_t>(0xFF << (first + 8 - bits));
    }
  }
}

}  // namespace

Address Address::V4(std::uint32_t host) {
  Address a;
  std::memcpy(a.bytes.data(), kMappedPrefix, sizeof kMappedPrefix);
  a.bytes[12] = static_cast<std::uint8_t>(host >> 24);
  a.bytes[13] = static_cast<std::uint8_t>(host >> 16);
  a.bytes[14] = static_cast<std::uint8_t>(host >> 8);
  a.bytes[15] = static_cast<std::uint8_t>(host);
  return a;
}

Address Address::V6(const std::uint8_t (&network)[16]) {
  Address a;
  std::memcpy(a.bytes.data(), network, 16);
  return a;
}

bool Address::IsV4() const { return std::memcmp(bytes.data(), kMappedPrefix, sizeof kMappedPrefix) == 0; }

std::uint32_t Address::V4Host() const {
  return static_cast<std::uint32_t>(bytes[12]) << 24 | static_cast<std::uint32_t>(bytes[13]) << 16 |
         static_cast<std::uint32_t>(bytes[14]) << 8 | bytes[15];
}

std::string AddressText(const Address& address) {
  char text[INET6_ADDRSTRLEN];
  if (address.IsV4()) {
    ::inet_ntop(AF_INET, address.bytes.data() + 12, text, sizeof text);
  } else {
    ::inet_ntop(AF_INET6, address.bytes.data(), text, sizeof text);
  }
  return text;
}

bool ParseAddress(std::string_view text, Address& address) {
  if (text.empty() || text.size() >= INET6_ADDRSTRLEN) return false;
  char copy[INET6_ADDRSTRLEN];
  std::memcpy(copy, text.data(), text.size());
  copy[text.size()] = '\0';
  std::uint8_t bytes[16];
  if (text.find(':') == std::string_view::npos) {
    if (::inet_pton(AF_INET, copy, bytes) != 1) return false;
    address = Address::V4(static_cast<std::uint32_t>(bytes[0]) << 24 |
                          static_cast<std::uint32_t>(bytes[1]) << 16 |
                          static_cast<std::uint32_t>(bytes[2]) << 8 | bytes[3]);
    return true;
  }
  if (::inet_pton(AF_INET6, copy, bytes) != 1) return false;
  address = Address::V6(bytes);
  return true;
}

bool AddressBlock::Contains(const Address& address) const {
  if (address.IsV4() && !(bits >= 96 && network.IsV4())) return false;
  Address masked = address;
  ClearBelow(masked, bits);
  return masked == network;
}

AddressBlock SingleAddress(const Address& address) { return {address, 128}; }

bool ParseBlock(std::string_view text, AddressBlock& block) {
  const std::size_t slash = text.find('/');
  Address address;
  if (!ParseAddress(text.substr(0, slash), address)) return false;
  const unsigned base = address.IsV4() ? 96 : 0;
  unsigned bits = 128 - base;
  if (slash != std::string_view::npos && !ReadDigits(text.substr(slash + 1), 128u - base, bits)) return false;
  bits += base;
  ClearBelow(address, bits);
  block = {address, bits};
  return true;
}

std::string BlockText(const AddressBlock& block) {
  std::string text = AddressText(block.network);
  if (block.bits != 128) {
    text += '/';
    text += std::to_string(block.network.IsV4() && block.bits >= 96 ? block.bits - 96 : block.bits);
  }
  return text;
}

Address LimitKey(const Address& address) {
  if (address.IsV4()) return address;
  Address key = address;
  ClearBelow(key, 64);
  return key;
}

std::string LimitKeyText(const Address& key) {
  return key.IsV4() ? AddressText(key) : AddressText(key) + "/64";
}

std::size_t AddressHash::operator()(const Address& address) const {
  std::uint64_t high = 0;
  std::uint64_t low = 0;
  std::memcpy(&high, address.bytes.data(), 8);
  std::memcpy(&low, address.bytes.data() + 8, 8);
  return static_cast<std::size_t>(high * 0x9E3779B97F4A7C15ull ^ low);
}

}  // namespace base
