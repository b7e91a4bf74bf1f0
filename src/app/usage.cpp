#include "app/usage.h"

#include "base/version.h"

namespace app {

std::string VersionText() {
  return "pelthollow " + std::string(base::Version()) + "\n";
}

// Every variable here is described in full in the manual page, pelthollow(6); CI fails
// when a PELTHOLLOW_ name in the sources is missing from this text or from that page.
std::string UsageText() {
  return "Usage: pelthollow server | client [--plain] | admin WORDS... | --version | --help\n"
         "\n"
         "  server          run the game server in this folder (the world in ./savedata.phl)\n"
         "  client          play: asks for the server's host (HOST or HOST:PORT)\n"
         "  client --plain  play in plain mode: one message a line, no cursor movement,\n"
         "                  for screen readers (Fenrir, Speakup) and simple terminals;\n"
         "                  also when TERM is dumb, and through pipes for scripts\n"
         "  admin WORDS...  give the running server a console command (admin help lists them)\n"
         "  --version       print the version\n"
         "  --help          print this text\n"
         "Anything else, or nothing, asks \"(S)erver or (C)lient mode?\".\n"
         "\n"
         "Environment (see man 6 pelthollow):\n"
         "  PELTHOLLOW_PORT                   the game port, server and client (61234)\n"
         "  PELTHOLLOW_WEB_PORT               the web client's HTTP port (unset: none)\n"
         "  PELTHOLLOW_WEB_ORIGINS            other origins whose pages may open the game\n"
         "  PELTHOLLOW_TELNET_PORT            a telnet port for MUD clients (unset: none)\n"
         "  PELTHOLLOW_TLS_PORT               the game port over TLS (unset: none)\n"
         "  PELTHOLLOW_TELNET_TLS_PORT        the telnet port over TLS (unset: none)\n"
         "  PELTHOLLOW_WEB_TLS_PORT           the web client over HTTPS (unset: none)\n"
         "  PELTHOLLOW_TLS_CERT               the TLS ports' certificate chain, a PEM file\n"
         "  PELTHOLLOW_TLS_KEY                the TLS ports' private key, a PEM file\n"
         "  PELTHOLLOW_TLS_CA                 the client's CA file for tls:// (the system's store)\n"
         "  PELTHOLLOW_METRICS_PORT           a port serving GET /metrics (unset: none)\n"
         "  PELTHOLLOW_METRICS_ADDRESS        the address the metrics port listens on (127.0.0.1)\n"
         "  PELTHOLLOW_ADMIN_SOCKET           the console's socket (./pelthollow.sock)\n"
         "  PELTHOLLOW_TRUSTED                addresses and blocks free of the limits (loopback)\n"
         "  PELTHOLLOW_PROXIES                proxies trusted to name the client they carry\n"
         "  PELTHOLLOW_MAX_CONNECTIONS        live connections per address (64; 0: no limit)\n"
         "  PELTHOLLOW_MAX_FAILED_LOGINS      failed logins per address in 10 minutes (20)\n"
         "  PELTHOLLOW_MAX_NEW_CHARACTERS     characters made per address in an hour (30)\n"
         "  PELTHOLLOW_MAX_LINES_PER_SECOND   lines per connection per second (20)\n"
         "  PELTHOLLOW_MAX_SPEECH_HEARD       KiB/s of speech times its hearers, per address (256)\n"
         "  PELTHOLLOW_MAX_CELL_SPEECH        KiB/s of speech one cell is told, by anyone (8)\n"
         "  PELTHOLLOW_MAX_HANDSHAKES_PER_SECOND  TLS handshakes per address per second (5)\n"
         "  PELTHOLLOW_MAX_MEMORY             MiB of unsent output and waiting input in all (256)\n"
         "  PELTHOLLOW_LOGIN_SECONDS          seconds a connection has to enter play (60; 0: any)\n"
         "  PELTHOLLOW_CHEAP_PASSWORD_HASHES  1: the cheapest password hashes, for tests only\n"
         "  PELTHOLLOW_UPGRADE_STATE          set by admin upgrade for the new process; never by hand\n"
         "  PELTHOLLOW_UPGRADE_PROBE          set by admin upgrade for its probe; never by hand\n"
         "  PELTHOLLOW_UPGRADE_READY          set by admin upgrade for the new process's guard; never by hand\n";
}

}  // namespace app
