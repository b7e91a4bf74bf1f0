#include "client/target.h"

#include <netdb.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>
#include <optional>
#include <string>
#include <utility>

#include "base/number.h"

namespace client {

namespace {

// Marks an answer that names how to connect, "SCHEME://HOST...".
constexpr std::string_view kSchemeMark = "://";
constexpr std::string_view kTlsScheme = "tls";

constexpr std::string_view kAnswerForms = " (answer HOST, HOST:PORT or [IPV6]:PORT)";
constexpr std::string_view kTlsAnswerForms =
    " (answer tls://HOST, tls://HOST:PORT or tls://[IPV6]:PORT)";
constexpr std::string_view kSchemeForms =
    " (answer HOST, HOST:PORT, [IPV6]:PORT or tls://HOST[:PORT])";

// An answer that is no server address; `forms` says what would be.
base::Status BadAnswer(std::string_view answer, std::string_view forms) {
  return base::Status::Failure("Invalid server: " + std::string(answer) + std::string(forms));
}

char AsciiLower(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

// True when `scheme` is `known` in any case, as URL schemes are.
bool IsScheme(std::string_view scheme, std::string_view known) {
  if (scheme.size() != known.size()) return false;
  for (std::size_t i = 0; i < scheme.size(); ++i) {
    if (AsciiLower(scheme[i]) != known[i]) return false;
  }
  return true;
}

// Reads a port written after a colon.
base::Status ReadPort(std::string_view text, std::uint16_t& port) {
  std::uint16_t value = 0;
  if (!base::ReadDigits(text, std::uint16_t{65535}, value) || value == 0) {
    return base::Status::Failure("Invalid port: " + std::string(text) +
                                 " (a port is a number from 1 to 65535)");
  }
  port = value;
  return {};
}

}  // namespace

base::Status ParseTarget(std::string_view answer, std::uint16_t defaultPort, Target& target) {
  Target parsed;
  parsed.port = defaultPort;
  std::string_view forms = kAnswerForms;
  std::string_view address = answer;  // the answer after its scheme
  if (const std::size_t mark = answer.find(kSchemeMark); mark != std::string_view::npos) {
    if (!IsScheme(answer.substr(0, mark), kTlsScheme)) {
      return base::Status::Failure("Unknown scheme: " + std::string(answer.substr(0, mark)) +
                                   std::string(kSchemeForms));
    }
    parsed.scheme = Scheme::Tls;
    parsed.port = kDefaultTlsPort;
    forms = kTlsAnswerForms;
    address = answer.substr(mark + kSchemeMark.size());
  }

  std::optional<std::string_view> port;
  if (!address.empty() && address.front() == '[') {
    const std::size_t close = address.find(']');
    if (close == std::string_view::npos) return BadAnswer(answer, forms);
    parsed.host = address.substr(1, close - 1);
    const std::string_view after = address.substr(close + 1);
    if (!after.empty()) {
      if (after.front() != ':') return BadAnswer(answer, forms);
      port = after.substr(1);
    }
  } else if (const std::size_t colon = address.find(':');
             colon != std::string_view::npos &&
             address.find(':', colon + 1) == std::string_view::npos) {
    parsed.host = address.substr(0, colon);
    port = address.substr(colon + 1);
  } else {
    parsed.host = address;  // a name, an IPv4 address, or an IPv6 address without brackets
  }
  if (parsed.host.empty()) return BadAnswer(answer, forms);
  if (port) {
    if (const base::Status read = ReadPort(*port, parsed.port); !read.ok()) return read;
  }
  target = std::move(parsed);
  return {};
}

base::Status Resolve(const Target& target, std::vector<Endpoint>& endpoints, std::string& words) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_NUMERICSERV;
  addrinfo* found = nullptr;
  const int resolved =
      ::getaddrinfo(target.host.c_str(), std::to_string(target.port).c_str(), &hints, &found);
  if (resolved != 0) {
    // For EAI_SYSTEM the resolver's own words are only "System error"; errno tells more.
    words = resolved == EAI_SYSTEM ? std::strerror(errno) : ::gai_strerror(resolved);
    return base::Status::SystemError("Error resolving address: ", resolved);
  }
  std::vector<Endpoint> list;
  for (const addrinfo* entry = found; entry != nullptr; entry = entry->ai_next) {
    if (entry->ai_addrlen > sizeof(sockaddr_storage)) continue;
    Endpoint endpoint;
    std::memcpy(&endpoint.address, entry->ai_addr, entry->ai_addrlen);
    endpoint.length = entry->ai_addrlen;
    endpoint.family = entry->ai_family;
    list.push_back(endpoint);
  }
  ::freeaddrinfo(found);
  if (list.empty()) {
    words = ::gai_strerror(EAI_NONAME);
    return base::Status::SystemError("Error resolving address: ", EAI_NONAME);
  }
  endpoints = std::move(list);
  return {};
}

base::Status ConnectPlain(const std::vector<Endpoint>& endpoints, core::Socket& socket,
                          std::string& words) {
  base::Status failure;
  bool connectFailed = false;  // a connect failure is told rather than a socket one
  for (const Endpoint& endpoint : endpoints) {
    const core::Socket attempt = ::socket(endpoint.family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (attempt < 0) {
      // A family this host cannot use (IPv6 turned off): the next address may work.
      if (!connectFailed) {
        failure = base::Status::SystemError("Error creating client socket: ", errno);
      }
      continue;
    }
    int connected = 0;
    do {
      connected =
          ::connect(attempt, reinterpret_cast<const sockaddr*>(&endpoint.address), endpoint.length);
    } while (connected != 0 && errno == EINTR);
    if (connected == 0) {
      socket = attempt;
      return {};
    }
    failure = base::Status::SystemError("Error connecting: ", errno);
    connectFailed = true;
    net::CloseSocket(attempt);
  }
  words = std::strerror(failure.error());
  return failure;
}

}  // namespace client
