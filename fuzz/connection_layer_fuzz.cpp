// Drives the connection layer over socket pairs with a script read from the input:
// clients connect, send bytes, stop reading, close; the game sends frames, answers
// and ends connections; turns run; the layer is handed to a fresh one as an upgrade
// hands it over, and must be carried whole. After every step the layer's records and
// sets must agree.
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "codecs/frame_codec.h"
#include "connection/connection_layer.h"
#include "core/connection_lock.h"
#include "core/outbox.h"
#include "../tests/layer_handover.h"

namespace {

// Answers every line; an empty one with a long answer, one that starts with q ends
// its connection.
class Game final : public connection::LineHandler {
 public:
  void Admitted(core::Socket, const connection::Peer&) override {}
  bool Line(core::Socket connection, const std::string& line) override {
    layer->Outbox().Queue(connection, line.empty() ? std::string(70'000, 'y') : line);
    layer->Outbox().Flush();
    return !line.empty() && line[0] == 'q';
  }
  void Ended(core::Socket) override {}

  connection::ConnectionLayer* layer = nullptr;  // the layer whose lines it answers
};

struct Client {
  int fd = -1;
  core::Socket server = core::kNoSocket;
};

// A layer with the one door of the script.
std::unique_ptr<connection::ConnectionLayer> MakeLayer(Game& game) {
  auto layer = std::make_unique<connection::ConnectionLayer>();
  if (!layer->Init().ok()) std::abort();
  connection::Door door;
  door.name = "game";
  door.makeCodec = [](const connection::Endpoints&) { return std::make_unique<codecs::FrameCodec>(); };
  door.handler = &game;
  door.welcome = "Welcome";
  layer->AddDoor(std::move(door));
  game.layer = layer.get();
  return layer;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Game game;
  std::unique_ptr<connection::ConnectionLayer> layer = MakeLayer(game);
  const std::size_t doorIndex = 0;
  std::vector<Client> clients;
  std::size_t at = 0;
  auto next = [&]() -> std::uint8_t { return at < size ? data[at++] : 0; };
  while (at < size) {
    const std::uint8_t op = next();
    const std::uint8_t arg = next();
    Client* c = clients.empty() ? nullptr : &clients[arg % clients.size()];
    switch (op % 7) {
      case 0: {  // a client connects, from a trusted or a limited address
        if (clients.size() >= 8) break;
        int ends[2];
        if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, ends) != 0) break;
        std::lock_guard<core::FairLock> guard(core::ConnectionLock);
        layer->Take(ends[0], doorIndex, base::Address::V4((arg & 1) ? 0xCB007109u : 0x7F000001u));
        clients.push_back({ends[1], ends[0]});
        break;
      }
      case 1: {  // a client sends the next bytes of the input
        if (c == nullptr) break;
        const std::size_t n = std::min<std::size_t>(arg, size - at);
        [[maybe_unused]] const ssize_t sent = ::send(c->fd, data + at, n, MSG_NOSIGNAL);
        at += n;
        break;
      }
      case 2:  // a client closes, or only its sending side
        if (c != nullptr) (arg & 2) ? ::shutdown(c->fd, SHUT_WR) : ::shutdown(c->fd, SHUT_RDWR);
        break;
      case 3: {  // the game sends a frame outside any answer (a tick)
        if (c == nullptr) break;
        std::lock_guard<core::FairLock> guard(core::ConnectionLock);
        layer->SendText(c->server, std::string(static_cast<std::size_t>(arg) * 1024, 'z'));
        break;
      }
      case 4: {  // a client reads what it was sent
        if (c == nullptr) break;
        char buffer[65536];
        [[maybe_unused]] const ssize_t got = ::recv(c->fd, buffer, sizeof buffer, MSG_DONTWAIT);
        break;
      }
      case 6: {  // an upgrade: carried again, the fresh layer's record is the same
        std::vector<core::Socket> adopted;
        const connection::CarriedLayer carried = HandOver(layer, MakeLayer(game), adopted);
        if (adopted != carried.connections) std::abort();
        std::lock_guard<core::FairLock> guard(core::ConnectionLock);
        std::vector<core::Socket> left;
        if (layer->Carry(left).record != carried.record) std::abort();
        break;
      }
      default:
        layer->RunOnce(0);
        break;
    }
    std::lock_guard<core::FairLock> guard(core::ConnectionLock);
    if (!layer->ConnectionsAreConsistent()) std::abort();
  }
  for (const Client& c : clients) ::close(c.fd);
  for (int i = 0; i < 4; ++i) layer->RunOnce(0);
  {
    std::lock_guard<core::FairLock> guard(core::ConnectionLock);
    if (!layer->ConnectionsAreConsistent()) std::abort();
  }
  return 0;
}
