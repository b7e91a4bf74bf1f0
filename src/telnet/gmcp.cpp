#include "telnet/gmcp.h"

#include <nlohmann/json.hpp>

#include <algorithm>

namespace telnet {

namespace {

constexpr std::size_t kMaxPackages = 32;

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
      client_ = data["client"].get_ref<const std::string&>().substr(0, 64);
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

}  // namespace telnet
