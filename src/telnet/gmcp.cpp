#include "telnet/gmcp.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstdint>

namespace telnet {

namespace {

constexpr std::size_t kMaxPackages = 32;
constexpr std::size_t kMaxClientNameBytes = 64;

enum Tag : std::uint32_t {
  kPackage = 1,  // one field per package, in the order listed
  kClient = 2,
  kListed = 3,
};

// The package of a Core.Supports entry: "Room 1" names "Room".
std::string PackageOf(const nlohmann::json& entry) {
  if (!entry.is_string()) return {};
  const std::string& text = entry.get_ref<const std::string&>();
  return text.substr(0, text.find(' '));
}

}  // namespace

bool JsonNestingWithin(std::string_view text, int depth) {
  int level = 0;
  bool inString = false;
  bool escaped = false;
  for (const char c : text) {
    if (inString) {
      if (escaped) {
        escaped = false;
      } else if (c == '\\') {
        escaped = true;
      } else if (c == '"') {
        inString = false;
      }
    } else if (c == '"') {
      inString = true;
    } else if (c == '[' || c == '{') {
      if (++level > depth) return false;
    } else if (c == ']' || c == '}') {
      --level;
    }
  }
  return true;
}

bool GmcpClient::Take(std::string_view message) {
  const std::size_t blank = message.find(' ');
  const std::string_view name = message.substr(0, blank);
  const std::string_view body = blank == std::string_view::npos ? "" : message.substr(blank + 1);
  if (message.size() > kMaxGmcpBytes || !JsonNestingWithin(body, kMaxGmcpDepth)) return false;
  const nlohmann::json data = nlohmann::json::parse(body.begin(), body.end(), nullptr, false);
  if (name == "Core.Hello") {
    if (data.is_object() && data.contains("client") && data["client"].is_string()) {
      client_ = data["client"].get_ref<const std::string&>().substr(0, kMaxClientNameBytes);
    }
    return true;
  }
  const bool set = name == "Core.Supports.Set";
  const bool add = name == "Core.Supports.Add";
  const bool remove = name == "Core.Supports.Remove";
  if ((!set && !add && !remove) || !data.is_array()) return false;
  if (set) packages_.clear();
  for (const nlohmann::json& entry : data) {
    const std::string package = PackageOf(entry);
    if (package.empty()) continue;
    const auto it = std::find(packages_.begin(), packages_.end(), package);
    if (remove && it != packages_.end()) packages_.erase(it);
    if (!remove && it == packages_.end() && packages_.size() < kMaxPackages) packages_.push_back(package);
  }
  listed_ = true;
  return false;
}

bool GmcpClient::Wants(std::string_view name) const {
  for (const std::string& package : packages_) {
    if (name == package) return true;
    if (name.size() > package.size() && name.substr(0, package.size()) == package &&
        name[package.size()] == '.')
      return true;
  }
  return false;
}

void GmcpClient::SaveState(base::FieldWriter& out) const {
  for (const std::string& package : packages_) out.Bytes(kPackage, package);
  out.Bytes(kClient, client_);
  out.Bool(kListed, listed_);
}

bool GmcpClient::RestoreState(base::FieldReader& in) {
  const std::vector<std::string_view> packages = in.AllBytes(kPackage);
  const std::string_view client = in.Bytes(kClient);
  const bool listed = in.Bool(kListed);
  if (!in.Good() || packages.size() > kMaxPackages || client.size() > kMaxClientNameBytes ||
      (!listed && !packages.empty()))
    return false;
  for (auto it = packages.begin(); it != packages.end(); ++it) {
    if (it->empty() || it->size() > kMaxGmcpBytes || it->find(' ') != std::string_view::npos ||
        std::find(packages.begin(), it, *it) != it)
      return false;
  }
  packages_.assign(packages.begin(), packages.end());
  client_.assign(client);
  listed_ = listed;
  return true;
}

}  // namespace telnet
