#include "client/terminal.h"

#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

namespace client {

namespace {

// One per process: the process has one terminal, given back as it was on the way out.
termios SavedSettings{};  // what the terminal had before raw mode
bool RawModeOn = false;

}  // namespace

TerminalUse ChooseTerminalUse(bool plainAsked) {
  if (::isatty(STDIN_FILENO) != 1 || ::isatty(STDOUT_FILENO) != 1) return TerminalUse::Lines;
  const char* term = std::getenv("TERM");
  if (!plainAsked && (term == nullptr || std::strcmp(term, "dumb") != 0)) {
    return TerminalUse::Screen;
  }
  termios settings{};
  if (::tcgetattr(STDIN_FILENO, &settings) != 0 || (settings.c_lflag & ECHO) == 0) {
    return TerminalUse::Lines;
  }
  return TerminalUse::Plain;
}

bool EnterRawMode() {
  if (RawModeOn) return true;
  termios settings{};
  if (::tcgetattr(STDIN_FILENO, &settings) != 0) return false;
  termios raw = settings;
  raw.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO | IEXTEN);  // ISIG stays on
  // Ctrl-C must not throw away what the client writes as it gives the terminal back.
  raw.c_lflag |= NOFLSH;
  raw.c_iflag &= ~static_cast<tcflag_t>(IXON | ICRNL | INLCR | IGNCR | ISTRIP);
  raw.c_oflag &= ~static_cast<tcflag_t>(OPOST);  // the screen writer sends "\r\n" itself
  raw.c_cc[VMIN] = 1;
  raw.c_cc[VTIME] = 0;
  // TCSANOW keeps keys typed ahead: they are the first keys of the line editor.
  if (::tcsetattr(STDIN_FILENO, TCSANOW, &raw) != 0) return false;
  SavedSettings = settings;
  RawModeOn = true;
  return true;
}

void LeaveRawMode() {
  if (!RawModeOn) return;
  ::tcsetattr(STDIN_FILENO, TCSADRAIN, &SavedSettings);
  RawModeOn = false;
}

bool WindowSize(int& rows, int& columns) {
  winsize size{};
  if (::ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) != 0 || size.ws_row == 0 || size.ws_col == 0) {
    return false;
  }
  rows = size.ws_row;
  columns = size.ws_col;
  return true;
}

}  // namespace client
