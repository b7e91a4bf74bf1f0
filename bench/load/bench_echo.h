// The baseline server: a trivial NUL-framed echo on one epoll thread. It greets each
// connection with one frame, as the game does, and answers every complete frame with
// the same frame. It runs in a child process of its own, so /proc shows its CPU time
// and memory apart from the load generator's.
#pragma once

#include <sys/types.h>

#include <string>
#include <string_view>

namespace bench {

// Serves `listening` (a bound, listening, non-blocking socket) until `stop` (a
// descriptor) becomes readable or closes. Returns 0 when stopped that way, 1 after an
// error it could not go on from, with `error` describing it.
int ServeEcho(int listening, int stop, std::string_view welcome, std::string& error);

// An echo server running in a child process.
struct EchoProcess {
  pid_t pid = -1;
  int port = 0;
  int stopWrite = -1;  // closing it stops the child
};

// Forks the child, listening on 127.0.0.1 on a free port. False with `error` set when
// the socket or the fork fails.
bool StartEcho(std::string_view welcome, EchoProcess& out, std::string& error);

// Stops the child and waits for it. Harmless on an EchoProcess that is not running.
void StopEcho(EchoProcess& echo);

}  // namespace bench
