#include "bench_siege_reader.h"

#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <string_view>
#include <vector>

#include "commands/handlers.h"
#include "net/frame.h"

namespace bench {

namespace {

using namespace std::chrono_literals;

// A small receive buffer, so that what it has not read waits in the server.
constexpr int kReceiveBuffer = 16 * 1024;
constexpr std::int64_t kAskEveryNs = 1'000'000'000;
constexpr const char* kAddress = "127.0.6.200";  // held to the limits, as a player from afar

}  // namespace

bool SteadyReader::Start(int port, const Origin& origin, std::string& problem) {
  client_ = std::make_unique<harness::FrameClient>(port, kAddress, kReceiveBuffer);
  const auto answer = client_->NextFrame() ? client_->Ask(SetupLine("Listener", origin)) : std::nullopt;
  if (!answer || !answer->starts_with(commands::kCharacterCreated)) {
    problem = "the steady reader was not created: " + answer.value_or("no answer");
    client_.reset();
    return false;
  }
  figures_.ran = true;
  markNs_ = NowNs();
  thread_ = std::thread([this] { Run(); });
  return true;
}

SteadyReading SteadyReader::Stop() {
  if (thread_.joinable()) {
    stop_ = true;
    thread_.join();
    client_.reset();
  }
  return figures_;
}

void SteadyReader::Run() {
  const int fd = client_->Fd();
  net::FrameSplitter frames(1u << 20);
  std::vector<std::int64_t> trips;
  char buffer[16 * 1024];
  double credit = 0;  // bytes it may read now: the rate's, at most a tenth of a second's
  std::int64_t last = NowNs();
  std::int64_t askedNs = 0;  // 0: no ask waits for its answer
  std::int64_t nextAskNs = last;
  std::int64_t mark = markNs_.load();
  std::uint64_t read = 0;
  std::uint64_t readBeforeMark = 0;
  while (!stop_.load()) {
    const std::int64_t now = NowNs();
    if (const std::int64_t marked = markNs_.load(); marked != mark) {
      mark = marked;
      readBeforeMark = read;
    }
    credit = std::min(credit + kSteadyReadBytesPerSecond * static_cast<double>(now - last) / 1e9,
                      kSteadyReadBytesPerSecond / 10);
    last = now;
    if (askedNs == 0 && now >= nextAskNs) {
      if (::send(fd, "time", 5, MSG_NOSIGNAL | MSG_DONTWAIT) == 5) askedNs = now;
      nextAskNs = now + kAskEveryNs;
    }
    if (credit < 1) {
      std::this_thread::sleep_for(10ms);
      continue;
    }
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 10) <= 0) continue;
    const ssize_t n = ::recv(fd, buffer, std::min(sizeof buffer, static_cast<std::size_t>(credit)), MSG_DONTWAIT);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) continue;
    if (n <= 0) {
      figures_.ended = true;
      figures_.endedAfterSeconds = static_cast<double>(now - mark) / 1e9;
      break;
    }
    credit -= static_cast<double>(n);
    read += static_cast<std::size_t>(n);
    frames.Feed(
        std::string_view(buffer, static_cast<std::size_t>(n)),
        [&](std::string_view frame) {
          if (askedNs != 0 && frame.find("It is ") != std::string_view::npos) {
            trips.push_back(NowNs() - askedNs);
            askedNs = 0;
          }
        },
        [] {});
  }
  if (askedNs != 0) trips.push_back(NowNs() - askedNs);
  figures_.trips = Summarise(trips);
  const double seconds = static_cast<double>(NowNs() - mark) / 1e9;
  if (seconds > 0) figures_.readKiBps = static_cast<double>(read - readBeforeMark) / 1024 / seconds;
}

}  // namespace bench
