#include "client/client.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <functional>
#include <iostream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "base/status.h"
#include "client/connection.h"
#include "client/display.h"
#include "client/editor.h"
#include "client/link.h"
#include "client/screen.h"
#include "client/target.h"
#include "client/terminal.h"
#include "client/view.h"
#include "net/frame.h"
#include "net/socket.h"

namespace client {

namespace {

// How long the rest of an escape sequence may take to arrive before a lone ESC is
// taken as the Escape key, in milliseconds.
constexpr int kEscapeWaitMs = 50;

// Signals noted by the handler for the main thread, which the handler wakes through
// SignalWakeFd.
volatile std::sig_atomic_t EndSignal = 0;  // SIGINT, SIGTERM or SIGHUP arrived
volatile std::sig_atomic_t ResizePending = 0;
volatile std::sig_atomic_t SuspendPending = 0;
volatile std::sig_atomic_t ContinuePending = 0;
int SignalWakeFd = -1;

constexpr int kHandledSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGWINCH, SIGTSTP, SIGCONT};

void NoteSignal(int signal) {
  switch (signal) {
    case SIGWINCH:
      ResizePending = 1;
      break;
    case SIGTSTP:
      SuspendPending = 1;
      break;
    case SIGCONT:
      ContinuePending = 1;
      break;
    default:
      EndSignal = signal;
      break;
  }
  Wake(SignalWakeFd);
}

void HandleSignal(int signal, void (*handler)(int)) {
  struct sigaction action {};
  action.sa_handler = handler;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  ::sigaction(signal, &action, nullptr);
}

// Writes all of `bytes` to standard output; gives up only on a real failure (a
// terminal that hung up).
void WriteOut(std::string_view bytes) {
  net::WriteAll(STDOUT_FILENO, bytes);
}

// The line after the end of receiving, with its line feed: a failed read, a failed
// TLS session, or the server's close.
std::string EndMessage(const ReceiveEnd& end) {
  if (end.error != 0) return "Error getting data: " + std::to_string(end.error) + "\n";
  if (!end.failure.empty()) return "Error getting data over TLS: " + end.failure + "\n";
  return "Connection closed by server.\n";
}

// True when receiving ended with the close that the end of the input asked for, which
// is not reported.
bool ExpectedEnd(bool inputEnded, const ReceiveEnd& end) {
  return inputEnded && end.error == 0 && end.failure.empty();
}

// Sends one finished line as one frame; an empty line is not sent.
void SendTypedLine(Link& server, const std::string& line) {
  if (line.empty()) return;
  std::string frame;
  net::AppendFrame(frame, line);
  server.Send(frame);  // a failed send loses the line, as it must
}

// Stops receiving and waits for the receive thread.
void StopReceiving(Link& server, std::thread& receiver) {
  server.Stop();
  if (receiver.joinable()) receiver.join();
}

// Line mode: no escape sequences. Each received text is printed with a line feed; each
// line of standard input is sent. At the end of standard input the sending side is
// shut down and the texts still coming are printed until the server closes. On a
// terminal the texts are shown harmless (control bytes in caret notation); into a
// pipe or a file they pass as they came.
int RunLineLoop(const WakePipe& wake, Link& server) {
  const bool harmless = ::isatty(STDOUT_FILENO) == 1;
  std::atomic<bool> inputEnded{false};
  std::thread receiver(ReceiveLoop, std::ref(server), wake.writeFd);
  std::thread reader([&] {
    std::string line;
    std::getline(std::cin, line);  // the rest of the host's line is not a command
    while (std::getline(std::cin, line)) {
      if (!line.empty() && line.back() == '\r') line.pop_back();  // a CR LF line end
      SendTypedLine(server, line);
    }
    inputEnded = true;  // before the shutdown, so the close it leads to is expected
    server.EndSending();
  });

  ReceiveEnd end;
  while (!end.ended) {
    pollfd wait{wake.readFd, POLLIN, 0};
    if (::poll(&wait, 1, -1) < 0 && errno != EINTR) break;
    DrainWake(wake.readFd);
    std::deque<std::string> texts;
    TakeIncoming(texts, end);
    std::string out;
    for (const std::string& text : texts) {
      if (harmless) {
        AppendShownText(out, text);
      } else {
        out += text;
      }
      out += '\n';
    }
    WriteOut(out);
  }
  StopReceiving(server, receiver);
  if (!ExpectedEnd(inputEnded, end)) WriteOut(EndMessage(end));
  if (inputEnded) {
    reader.join();
    return 0;
  }
  // The reader is still blocked on standard input, and nothing can wake it: the
  // process ends here, with everything written.
  std::cout.flush();
  ::_exit(0);
}

// The keys and the received texts on a terminal in raw mode, drawn by `view`: the full
// screen, or plain mode. Everything that reaches the terminal is written from this
// thread, one batch per wake-up.
int RunClientLoop(const WakePipe& wake, Link& server, View& view) {
  int rows = 24;
  int columns = 80;
  WindowSize(rows, columns);
  rows = std::max(rows, 1);
  columns = std::max(columns, kMinColumns);
  std::string out;
  LineEditor editor;
  KeyDecoder decoder;
  view.Start(rows, columns, out);
  view.Draw(editor, out);
  WriteOut(out);

  std::thread receiver(ReceiveLoop, std::ref(server), wake.writeFd);
  ReceiveEnd end;
  bool terminalGone = false;
  bool inputEnded = false;  // no more keys are read
  while (!end.ended && EndSignal == 0 && !terminalGone) {
    pollfd waits[2] = {{inputEnded ? -1 : STDIN_FILENO, POLLIN, 0}, {wake.readFd, POLLIN, 0}};
    const int ready = ::poll(waits, 2, DecoderWaiting(decoder) ? kEscapeWaitMs : -1);
    if (ready < 0 && errno != EINTR) break;
    out.clear();
    std::vector<Key> keys;
    if (ready == 0) DecoderTimedOut(decoder, keys);
    if (waits[1].revents != 0) DrainWake(wake.readFd);
    if (EndSignal != 0) break;

    if (SuspendPending != 0) {
      SuspendPending = 0;
      view.End(out);
      WriteOut(out);
      out.clear();
      LeaveRawMode();
      HandleSignal(SIGTSTP, SIG_DFL);
      ::raise(SIGTSTP);  // stops here; SIGCONT then sets ContinuePending
      HandleSignal(SIGTSTP, NoteSignal);
    }
    if (ContinuePending != 0) {
      // Whoever stopped the client may have changed the terminal and what it shows:
      // take it again and draw everything.
      ContinuePending = 0;
      ResizePending = 0;
      LeaveRawMode();
      EnterRawMode();
      WindowSize(rows, columns);
      view.Redraw(rows, columns, true, out);
    }
    if (ResizePending != 0) {
      ResizePending = 0;
      if (WindowSize(rows, columns)) view.Redraw(rows, columns, false, out);
    }

    // Texts that came before the keys were read are shown before the lines they send.
    std::deque<std::string> texts;
    TakeIncoming(texts, end);
    for (const std::string& text : texts) view.Show(text, out);

    if (waits[0].revents != 0) {
      char bytes[4096];
      const ssize_t got = ::read(STDIN_FILENO, bytes, sizeof bytes);
      if (got > 0) {
        for (ssize_t i = 0; i < got; ++i) {
          DecodeKeyByte(decoder, static_cast<unsigned char>(bytes[i]), keys);
        }
      } else if (got == 0 || (errno != EINTR && errno != EAGAIN)) {
        terminalGone = true;
      }
    }
    if (!keys.empty()) view.KeysCame();
    std::string finished;
    for (const Key& key : keys) {
      if (view.EndsInput(key, editor)) {
        inputEnded = true;  // before the shutdown, so the close it leads to is expected
        server.EndSending();
        decoder = KeyDecoder{};
        break;
      }
      if (!view.Takes(key) || !ApplyKey(editor, key, finished)) continue;
      SendTypedLine(server, finished);
      view.Finished(finished, out);
    }
    view.Draw(editor, out);
    WriteOut(out);
  }

  out.clear();
  view.End(out);
  WriteOut(out);
  LeaveRawMode();
  StopReceiving(server, receiver);
  if (EndSignal != 0) {
    // Ended from outside: the terminal is back as it was; now end as the signal would
    // have ended the client.
    const int signal = EndSignal;
    HandleSignal(signal, SIG_DFL);
    ::raise(signal);
    return 0;
  }
  if (end.ended && !ExpectedEnd(inputEnded, end)) WriteOut(EndMessage(end));
  for (const int signal : kHandledSignals) HandleSignal(signal, SIG_DFL);
  return 0;
}

// Prints a failure before the connection: its message (and code) on one line, what
// happened in words on the next.
void ReportFailure(const base::Status& status, const std::string& words) {
  std::cout << status.Text() << "\n";
  if (!words.empty()) std::cout << words << "\n";
  std::cout << std::flush;
}

// The CA file to trust instead of the system's trust store; empty when unset.
std::string CaFileFromEnvironment() {
  const char* file = std::getenv("PELTHOLLOW_TLS_CA");
  return file != nullptr ? file : "";
}

// Resolves the target, connects to the first of its addresses that answers and, over
// TLS, verifies the server there. Returns the link; on failure reports it and returns
// null.
std::unique_ptr<Link> Connect(const Target& target) {
  std::vector<Endpoint> endpoints;
  std::string words;
  if (const base::Status resolved = Resolve(target, endpoints, words); !resolved.ok()) {
    ReportFailure(resolved, words);
    return nullptr;
  }
  // Over TLS, the session first: a CA file that does not load needs no connection.
  const tls::ClientOptions options{target.host, CaFileFromEnvironment()};
  std::unique_ptr<tls::ClientSession> session;
  if (target.scheme == Scheme::Tls) {
    if (const base::Status made = MakeTlsSession(options, session, words); !made.ok()) {
      ReportFailure(made, words);
      return nullptr;
    }
  }
  std::cout << "Starting client...\n" << std::flush;
  core::Socket socket = core::kNoSocket;
  if (const base::Status connected = ConnectPlain(endpoints, socket, words); !connected.ok()) {
    ReportFailure(connected, words);
    return nullptr;
  }
  // Each scheme has its step here, over the TCP connection.
  std::unique_ptr<Link> link;
  switch (target.scheme) {
    case Scheme::Plain:
      link = std::make_unique<Link>(socket);
      break;
    case Scheme::Tls:
      if (const base::Status started =
              Link::StartTls(socket, std::move(session), options, link, words);
          !started.ok()) {
        ReportFailure(started, words);
        return nullptr;
      }
      break;
  }
  std::cout << "Connected to server.\n" << std::flush;
  return link;
}

}  // namespace

int StartClient(std::uint16_t port, bool plain) {
  std::cout << "Enter a server to connect to: " << std::flush;
  std::string answer;
  if (!(std::cin >> answer)) return 0;  // the rest of the line stays unread
  Target target;
  if (const base::Status parsed = ParseTarget(answer, port, target); !parsed.ok()) {
    ReportFailure(parsed, {});
    return 1;
  }
  const std::unique_ptr<Link> server = Connect(target);
  if (server == nullptr) return 1;

  WakePipe wake;
  if (const base::Status opened = OpenWakePipe(wake); !opened.ok()) {
    ReportFailure(opened, std::strerror(opened.error()));
    return 1;
  }
  ResetIncoming();
  int code = 0;
  const TerminalUse use = ChooseTerminalUse(plain);
  if (use != TerminalUse::Lines) {
    EndSignal = 0;
    SignalWakeFd = wake.writeFd;
    for (const int signal : kHandledSignals) HandleSignal(signal, NoteSignal);
    if (EnterRawMode()) {
      View view(use == TerminalUse::Plain);
      code = RunClientLoop(wake, *server, view);
    } else {
      for (const int signal : kHandledSignals) HandleSignal(signal, SIG_DFL);
      code = RunLineLoop(wake, *server);
    }
  } else {
    code = RunLineLoop(wake, *server);
  }
  CloseWakePipe(wake);
  return code;
}

}  // namespace client
