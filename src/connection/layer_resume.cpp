// Work that comes back to the input thread from elsewhere: the TLS handshake steps that
// ran on a handshake thread, and the bytes after a PROXY header that waited for their
// client's admission. Both are taken up without the lock, as reads are, and their
// connections fed under it.
#include <unistd.h>

#include <mutex>
#include <string>
#include <utility>

#include "connection/connection_layer.h"

namespace connection {

// Without the lock: the transports whose work elsewhere (a TLS handshake step) is done
// take it up, as if they had read; their connections are fed under the lock.
void ConnectionLayer::ResumeTransports() {
  std::vector<std::pair<core::Socket, std::uint64_t>> due;
  {
    std::lock_guard<std::mutex> guard(resumes_->mutex);
    due.swap(resumes_->due);
  }
  for (const auto& [socket, order] : due) {
    Connection* c = Find(socket);
    if (c == nullptr || c->order != order || c->readEnded) continue;  // gone, or another's handle now
    NoteRead(*c, c->transport->Resume(socket, c->received));
    c->readThisTurn = true;  // the codec may start now
    resumed_.push_back(socket);
  }
}

// Without the lock, at the end of the turn: the bytes that came after the PROXY header
// of the connections admitted this turn go to their transports (a TLS handshake
// begins), before anything read later; their connections are fed next turn.
void ConnectionLayer::TakeAdmittedThroughProxy() {
  for (const core::Socket socket : admittedThroughProxy_) {
    Connection* c = Find(socket);
    if (c == nullptr || c->aside == nullptr || c->aside->proxyBytes.empty()) continue;
    const std::string held = std::exchange(c->aside->proxyBytes, std::string());
    c->TrimAside();
    NoteRead(*c, c->transport->Take(socket, held, c->received));
    resumed_.push_back(socket);
    busy_ = true;
  }
  admittedThroughProxy_.clear();
}

void ConnectionLayer::Resumes::Add(core::Socket socket, std::uint64_t order) {
  bool first = false;
  {
    std::lock_guard<std::mutex> guard(mutex);
    if (!open) return;
    first = due.empty();
    due.emplace_back(socket, order);
  }
  // Woken outside the lock: the input thread, woken, would otherwise often find the
  // lock still held by a thread it has just taken the core from. Only the first of a
  // batch wakes it; it takes the whole batch.
  if (first && wakeUp >= 0) {
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t n = ::write(wakeUp, &one, sizeof one);
  }
}

ConnectionLayer::Resumes::~Resumes() {
  if (wakeUp >= 0) ::close(wakeUp);
}

}  // namespace connection
