// The game port's TLS twin against plain TCP: the round trip of TLS players and TCP
// players of one server asked in turn, the memory an idle TLS connection holds, the
// connections one core of the server greets a second through each, and players'
// chat beside a storm of TLS handshakes from untrusted addresses. The server's
// certificate comes from an authority made for the run (harness/tls_certs.h). Called on
// the load generator's main thread; the handshakes run on the attack's thread
// (bench_attack.h).
#pragma once

#include <vector>

#include "bench_options.h"
#include "bench_report.h"

namespace bench {

// Runs the tls scenario `o.runs` times and returns its reports, of the medians. Sets
// `allRan` false when a run did not complete.
std::vector<Report> RunTls(const Options& o, bool& allRan);

}  // namespace bench
