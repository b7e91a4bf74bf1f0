// A blocking TCP client of the game port for tests: sends frames and waits for them,
// every wait with a timeout. One thread drives a FrameClient.
#pragma once

#include <chrono>
#include <deque>
#include <optional>
#include <string>

#include "net/frame.h"
#include "process.h"

namespace harness {

class FrameClient {
 public:
  // Connects to the loopback's `port` from `from` (a loopback address such as
  // "127.0.0.2", or empty for the default), with a receive buffer of `receiveBuffer`
  // bytes when it is not 0. Connected() tells whether it worked.
  explicit FrameClient(int port, const std::string& from = "", int receiveBuffer = 0);
  ~FrameClient() { Close(); }
  FrameClient(const FrameClient&) = delete;
  FrameClient& operator=(const FrameClient&) = delete;

  bool Connected() const { return connected_; }
  int Fd() const { return fd_; }

  // Sends `text` as one frame (text and NUL).
  bool Send(const std::string& text);
  // Sends bytes as they are.
  bool SendRaw(const std::string& bytes);

  // The next frame's text, or nullopt when none arrives in time or the server closed.
  std::optional<std::string> NextFrame(std::chrono::milliseconds timeout = kTimeout);
  // Skips frames until one holds `text`; returns that frame, or nullopt on timeout.
  std::optional<std::string> WaitForFrame(const std::string& text,
                                          std::chrono::milliseconds timeout = kTimeout);
  // Sends a line and returns the next frame (the answer).
  std::optional<std::string> Ask(const std::string& line, std::chrono::milliseconds timeout = kTimeout);

  // Waits until the server closes the connection (frames before that are dropped).
  bool WaitForClose(std::chrono::milliseconds timeout = kTimeout);
  // Frames that have arrived and not been taken.
  std::size_t Pending() const { return frames_.size(); }
  // Takes in whatever the server has sent by now, without waiting; returns the number
  // of frames waiting to be taken.
  std::size_t Drain();
  // Reads and drops whatever the server has sent by now, without waiting.
  void Discard();
  void Close();

 private:
  // One read, waiting at most `timeout`; false on timeout.
  bool ReadOnce(std::chrono::milliseconds timeout);

  int fd_ = -1;
  bool connected_ = false;
  bool closed_ = false;
  net::FrameSplitter splitter_{1u << 30};
  std::deque<std::string> frames_;
};

}  // namespace harness
