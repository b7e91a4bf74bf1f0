#include "client/plain.h"

#include <cstddef>
#include <utility>

#include "client/display.h"

namespace client {

namespace {

// Columns of a shown form (which holds no control byte, tab or line feed).
int Width(std::string_view shown, std::size_t from = 0) {
  int width = 0;
  for (std::size_t at = from; at < shown.size();) {
    const std::size_t length = CharLength(shown, at);
    width += ShownWidth(shown.substr(at, length));
    at += length;
  }
  return width;
}

// Where `a` and `b` stop having the same characters. The cut is never just before a
// character of no width (a combining mark): BS over its column would erase the mark's
// base, so the base goes with it.
std::size_t CommonStart(std::string_view a, std::string_view b) {
  std::size_t at = 0;
  while (at < a.size() && at < b.size()) {
    const std::size_t length = CharLength(a, at);
    if (a.substr(at, length) != b.substr(at, length)) break;
    at += length;
  }
  while (at > 0 && at < a.size() && ShownWidth(a.substr(at, CharLength(a, at))) == 0) {
    at = PreviousCharStart(a, at);
  }
  return at;
}

// Changes the echo on the terminal from plain.shown to `echo`.
void Echo(PlainLines& plain, std::string echo, std::string& out) {
  const std::size_t common = CommonStart(plain.shown, echo);
  if (common < plain.shown.size()) {
    if (Width(plain.shown) >= plain.columns) {
      out += "\r\n";
      out += echo;
      plain.shown = std::move(echo);
      return;
    }
    const auto erase = static_cast<std::size_t>(Width(plain.shown, common));
    out.append(erase, '\b');
    out.append(erase, ' ');
    out.append(erase, '\b');
  }
  out.append(echo, common);
  plain.shown = std::move(echo);
}

}  // namespace

std::string PlainEcho(std::string_view line) {
  std::size_t begin = line.size();
  std::size_t end = line.size();
  FindPassword(line, begin, end);
  std::string echo;
  for (std::size_t at = 0; at < line.size();) {
    const std::size_t length = CharLength(line, at);
    if (at >= begin && at < end) {
      echo += '*';
    } else {
      AppendShown(echo, line.substr(at, length));
    }
    at += length;
  }
  return echo;
}

bool PlainTakesKey(const Key& key) {
  switch (key.kind) {
    case KeyKind::Left:
    case KeyKind::Right:
    case KeyKind::Home:
    case KeyKind::End:
    case KeyKind::Delete:
    case KeyKind::ClearToEnd:
      return false;
    default:
      return true;
  }
}

bool PlainEndsInput(const Key& key, const LineEditor& editor) {
  return key.kind == KeyKind::Character && key.bytes == "\x04" && editor.editLine.empty();
}

void DrawPlainInput(PlainLines& plain, const LineEditor& editor, std::string& out) {
  Echo(plain, PlainEcho(editor.editLine), out);
}

void ShowPlainText(PlainLines& plain, std::string_view text, std::string& out) {
  if (!plain.shown.empty()) {
    const int width = Width(plain.shown);
    if (width < plain.columns) {
      out += '\r';
      out.append(static_cast<std::size_t>(width), ' ');
      out += '\r';
    } else {
      out += "\r\n";
    }
  }
  for (;;) {
    const std::size_t end = text.find('\n');
    AppendShownText(out, text.substr(0, end));
    out += "\r\n";
    if (end == std::string_view::npos) break;
    text.remove_prefix(end + 1);
  }
  out += plain.shown;
}

void ShowPlainSent(PlainLines& plain, std::string_view line, std::string& out) {
  Echo(plain, PlainEcho(line), out);
  out += "\r\n";
  plain.shown.clear();
}

void EndPlain(PlainLines& plain, std::string& out) {
  if (plain.shown.empty()) return;
  out += "\r\n";
  plain.shown.clear();
}

}  // namespace client
