// A thin layer over POSIX sockets. Every call returns a status and leaves the errno
// value in `error`; logging is the caller's business.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace net {

// A connection's descriptor. The server keys its tables by it and prints it as an
// unsigned decimal number.
using Socket = int;
inline constexpr Socket kNoSocket = -1;

inline constexpr std::uint16_t kDefaultPort = 61234;

// A port from the environment variable `name` (PELTHOLLOW_PORT, the game port both
// roles use, or the port of a door). When it is set to decimal digits for a value from
// 1 to 65535, sets `port` and returns true; unset, returns true and leaves `port` as it
// is; set to anything else, returns false and sets `bad` to the value.
bool PortFromEnvironment(const char* name, std::uint16_t& port, std::string& bad);

// Each of these returns true on success; on failure it returns false, sets `error` to
// errno and closes nothing the caller did not pass in.
bool CreateTcpSocket(Socket& out, int& error);
bool SetReuseAddress(Socket s, int& error);
bool BindAnyAddress(Socket s, std::uint16_t port, int& error);
// Binds to one IPv4 address, `host` in host byte order.
bool BindAddress(Socket s, std::uint32_t host, std::uint16_t port, int& error);
bool SetNonBlocking(Socket s, int& error);
bool Listen(Socket s, int& error);
// Sends small frames at once instead of holding them for the peer's acknowledgement.
bool SetNoDelay(Socket s, int& error);

// Sends as much of `bytes` as the socket takes now, never raising SIGPIPE.
// Returns the number of bytes taken (0 when the socket is full); -1 with `error` set on
// a failure such as a reset peer.
long SendSome(Socket s, std::string_view bytes, int& error);

// Sends all of `bytes` on a socket, never raising SIGPIPE; false with `error` set when
// it fails (what was sent stays sent).
bool SendAll(Socket s, std::string_view bytes, int& error);

// Writes all of `bytes` to any descriptor (a file, a pipe, a terminal). Both go on
// after a signal and wait while a non-blocking descriptor is full.
bool WriteAll(int fd, std::string_view bytes, int& error);

void CloseSocket(Socket s);

}  // namespace net
