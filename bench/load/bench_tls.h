// The game port's TLS twin against plain TCP: the round trip of TLS players and TCP
// players of one server asked in turn, the memory an idle TLS connection holds, the
// connections one core of the server greets a second through each, and players'
// chat beside a storm of TLS handshakes from untrusted addresses. The server's
// certificate comes from an authority made for the run (harness/tls_certs.h). Called on
// the load generator's main thread; the handshakes run on the attack's thread
// (bench_attack.h).
#pragma once

#include <map>
#include <string>
#include <vector>

#include "bench_options.h"
#include "bench_report.h"
#include "bench_tls_client.h"
#include "harness/folder.h"
#include "harness/tls_certs.h"

namespace bench {

// The certificate the servers show, from an authority made for the run, which the
// load generator's sessions (`client`) trust.
struct TlsCertificates {
  harness::TempDir folder{"pelthollow-bench-tls"};
  harness::TestAuthority authority{folder.Path()};
  harness::IssuedCertificate server = authority.Issue("server");
  TlsContext client{authority.CaFile()};
  bool Ok() const { return authority.Ok() && !server.certificateFile.empty() && client.Ok(); }
};

// The settings that open the game port's TLS twin on a free port with `c`'s certificate.
std::map<std::string, std::string> TlsDoor(const TlsCertificates& c);

// Runs the tls scenario `o.runs` times and returns its reports, of the medians. Sets
// `allRan` false when a run did not complete.
std::vector<Report> RunTls(const Options& o, bool& allRan);

}  // namespace bench
