// The program entry: one executable, the game server, its terminal client and the
// operator's console, and what --version and --help print.
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <iostream>
#include <string>

#include "app/admin_client.h"
#include "app/mode.h"
#include "app/environment.h"
#include "app/usage.h"
#include "client/client.h"
#include "core/password_service.h"
#include "net/socket.h"
#include "server/server.h"
#include "server/upgrade.h"
#include "tls/tls_memory.h"

int main(int argc, char** argv) {
  // An unusable standard output ends the program before it writes anything.
  if (::fcntl(STDOUT_FILENO, F_GETFL) < 0) return 1;

  const std::string first = argc >= 2 ? argv[1] : "";
  if (first == "admin") return app::RunAdminClient(argc, argv);
  // The server's password helper, which the server starts itself.
  if (first == core::kPasswordHelperWord) return core::ServePasswords(argc, argv);
  // Before the port is read: an operator asking which build this is gets the answer
  // whatever the environment holds.
  if (first == "--version" || first == "--help") {
    std::cout << (first == "--version" ? app::VersionText() : app::UsageText()) << std::flush;
    return 0;
  }

  std::uint16_t port = net::kDefaultPort;
  if (const base::Status read = net::PortFromEnvironment("PELTHOLLOW_PORT", port); !read.ok()) {
    std::cout << read.Text() << "\n" << std::flush;
    return 1;
  }

  switch (app::ChooseMode(argc, argv, std::cin, std::cout)) {
    case app::Mode::Server: {
      // Before anything uses OpenSSL: the buffers of its sessions leave no holes in the
      // heap. The server's alone: its many sessions at once are what leave them.
      (void)tls::UseSessionBufferSlots();
      server::ServerSettings settings;
      settings.port = port;
      if (const base::Status read = app::ReadServerSettings(settings); !read.ok()) {
        std::cout << read.Text() << "\n" << std::flush;
        return 1;
      }
      // An upgrade's probe only reads what the old server hands over, and answers.
      if (server::IsUpgradeProbe()) return server::RunUpgradeProbe();
      return server::RunServer(settings);
    }
    case app::Mode::Client:
      return client::StartClient(port, app::PlainAsked(argc, argv));
    case app::Mode::EndOfInput:
      return 0;
  }
  return 0;
}
