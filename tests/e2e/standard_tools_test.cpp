// The HTTP doors judged by other implementations: python3-websockets opens the game
// with a subprotocol offer in its own spelling, and a live scrape in each metrics
// format passes its format's checker (promtool for Prometheus' text format,
// prometheus_client's OpenMetrics parser for OpenMetrics). A missing tool skips its
// test, unless CI's PELTHOLLOW_REQUIRE_WEBSOCKETS=1 or PELTHOLLOW_REQUIRE_PROMTOOL=1
// makes that a failure.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "e2e_support.h"

namespace {

using namespace std::chrono_literals;

// Exit code of the scripts below when their module is not installed.
constexpr int kMissing = 77;

bool Required(const char* variable) {
  const char* value = std::getenv(variable);
  return value != nullptr && std::string(value) == "1";
}

// The executables called `name` on PATH, then in /usr/bin (where Debian's python3
// finds the modules Debian installs, whatever interpreter comes first on PATH).
std::vector<std::string> Programs(const std::string& name) {
  std::vector<std::string> found;
  const std::string path =
      std::string(std::getenv("PATH") ? std::getenv("PATH") : "") + ":/usr/bin";
  for (std::size_t start = 0; start <= path.size();) {
    const std::size_t end = std::min(path.find(':', start), path.size());
    const std::string candidate =
        (std::filesystem::path(path.substr(start, end - start)) / name).string();
    if (end > start && ::access(candidate.c_str(), X_OK) == 0) found.push_back(candidate);
    start = end + 1;
  }
  return found;
}

struct Ran {
  int exitCode = -1;
  std::string output;
};

// Runs `program` with `args` and `input`, in a folder of its own, to its end.
Ran RunTool(const std::string& program, std::vector<std::string> args,
            const std::string& input = "") {
  e2e::TempDir dir("pelthollow-tool");
  harness::ProcessOptions options;
  options.args = std::move(args);
  options.stdinText = input;
  harness::Process process(program, dir.Path(), 0, std::move(options));
  const std::optional<int> status = process.Wait(30s);
  process.WaitForEndOfOutput(5s);
  return {harness::Process::ExitCode(status), process.Output()};
}

// Runs a python3 script with the first interpreter that has its module; nullopt when
// none has (each exits kMissing).
std::optional<Ran> RunPython(const std::string& script, std::vector<std::string> args,
                             const std::string& input = "") {
  args.insert(args.begin(), {"-c", script});
  for (const std::string& python : Programs("python3")) {
    Ran ran = RunTool(python, args, input);
    if (ran.exitCode != kMissing) return ran;
  }
  return std::nullopt;
}

// Offers the GMCP subprotocol in another case than the server's, reads the welcome
// (binary, as GMCP carries game text) and closes.
constexpr const char* kWebSocketsClient = R"(
import asyncio, sys
try:
    import websockets
except ImportError:
    sys.exit(77)

async def main(uri):
    async with websockets.connect(uri, subprotocols=["GMCP.MudStandards.org"]) as ws:
        print("subprotocol", ws.subprotocol)
        welcome = await asyncio.wait_for(ws.recv(), 10)
        print("welcome", welcome.decode() if isinstance(welcome, bytes) else welcome)
    print("closed", ws.close_code)

asyncio.run(main(sys.argv[1]))
)";

TEST(StandardTools, PythonWebSocketsAcceptsTheSubprotocolAsItWroteIt) {
  const int webPort = e2e::FreePort();
  e2e::Process::Options options;
  options.env["PELTHOLLOW_WEB_PORT"] = std::to_string(webPort);
  e2e::Server server(options);
  ASSERT_TRUE(server.Ready() && server.WaitForLog("Web client on port ")) << server.Log();
  const std::optional<Ran> ran =
      RunPython(kWebSocketsClient, {"ws://127.0.0.1:" + std::to_string(webPort) + "/ws"});
  if (!ran) {
    if (Required("PELTHOLLOW_REQUIRE_WEBSOCKETS")) FAIL() << "python3-websockets is not installed";
    GTEST_SKIP() << "python3-websockets is not installed";
  }
  EXPECT_EQ(ran->exitCode, 0) << ran->output;
  EXPECT_EQ(ran->output,
            "subprotocol GMCP.MudStandards.org\n"
            "welcome Welcome to Pelthollow! Type \"help\" for a list of commands.\n"
            "closed 1000\n");
}

// One scrape of the metrics door; the answer's body, or nullopt when none came whole.
std::optional<std::string> Scrape(int port, const std::string& accept, std::string& contentType) {
  e2e::Client client(port);
  if (!client.Connected()) return std::nullopt;
  std::string request = "GET /metrics HTTP/1.1\r\nHost: 127.0.0.1\r\n";
  if (!accept.empty()) request += "Accept: " + accept + "\r\n";
  client.SendRaw(request + "\r\n");
  std::string answer;
  std::size_t from = 0;
  // The door closes after its answer: read until the stream ends.
  while (e2e::ReadUntil(client.Fd(), answer, from, "\x01never\x02", 10s)) {
  }
  const std::size_t bodyAt = answer.find("\r\n\r\n");
  const std::size_t typeAt = answer.find("\r\nContent-Type: ");
  if (bodyAt == std::string::npos || typeAt == std::string::npos) return std::nullopt;
  contentType = answer.substr(typeAt + 16, answer.find("\r\n", typeAt + 2) - typeAt - 16);
  return answer.substr(bodyAt + 4);
}

// Reads OpenMetrics text from standard input as prometheus_client does, which raises
// on anything the format does not allow (and needs "# EOF" last).
constexpr const char* kOpenMetricsCheck = R"(
import sys
try:
    from prometheus_client.openmetrics.parser import text_string_to_metric_families
except ImportError:
    sys.exit(77)
families = list(text_string_to_metric_families(sys.stdin.read()))
print(len(families), "families")
)";

TEST(StandardTools, EachMetricsFormatPassesItsChecker) {
  const int metricsPort = e2e::FreePort();
  e2e::Process::Options options;
  options.env["PELTHOLLOW_METRICS_PORT"] = std::to_string(metricsPort);
  options.env["PELTHOLLOW_WEB_PORT"] = std::to_string(e2e::FreePort());
  options.env["PELTHOLLOW_TELNET_PORT"] = std::to_string(e2e::FreePort());
  e2e::Server server(options);
  ASSERT_TRUE(server.Ready() && server.WaitForLog("Metrics on ")) << server.Log();
  e2e::Client player(server.Port());
  ASSERT_TRUE(player.ReadWelcome());
  ASSERT_TRUE(player.Send("login Nobody secret"));
  ASSERT_TRUE(player.WaitForFrame("Invalid username."));

  std::string type;
  const std::optional<std::string> text = Scrape(metricsPort, "", type);
  ASSERT_TRUE(text) << server.Log();
  EXPECT_EQ(type, "text/plain; version=0.0.4; charset=utf-8");
  for (const char* series :
       {"pelthollow_connections{door=\"game\"} 1\n", "pelthollow_connections{door=\"metrics\"} 0\n",
        "pelthollow_connections{door=\"web\"} 0\n", "pelthollow_connections{door=\"console\"} 0\n",
        "pelthollow_logins_total{result=\"unknown_name\"} 1\n",
        "pelthollow_refusals_total{limit=\"banned\"} 0\n", "pelthollow_build_info{version=\""}) {
    EXPECT_NE(text->find(series), std::string::npos) << series << "\n" << *text;
  }
  const std::vector<std::string> promtool = Programs("promtool");
  if (promtool.empty() && !Required("PELTHOLLOW_REQUIRE_PROMTOOL"))
    GTEST_SKIP() << "promtool is not installed";
  ASSERT_FALSE(promtool.empty()) << "promtool is not installed";
  const Ran checked = RunTool(promtool[0], {"check", "metrics"}, *text);
  EXPECT_EQ(checked.exitCode, 0) << checked.output << *text;

  // promtool reads only Prometheus' text format; OpenMetrics has a checker of its own.
  const std::optional<std::string> openMetrics = Scrape(
      metricsPort,
      "application/openmetrics-text;version=1.0.0,text/plain;version=0.0.4;q=0.5,*/*;q=0.1", type);
  ASSERT_TRUE(openMetrics);
  EXPECT_EQ(type, "application/openmetrics-text; version=1.0.0; charset=utf-8");
  EXPECT_TRUE(openMetrics->ends_with("\n# EOF\n"));
  const std::optional<Ran> parsed = RunPython(kOpenMetricsCheck, {}, *openMetrics);
  if (!parsed) {
    if (Required("PELTHOLLOW_REQUIRE_PROMTOOL"))
      FAIL() << "python3-prometheus-client is not installed";
    GTEST_SKIP() << "python3-prometheus-client is not installed";
  }
  EXPECT_EQ(parsed->exitCode, 0) << parsed->output << *openMetrics;
}

}  // namespace
