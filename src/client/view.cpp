#include "client/view.h"

namespace client {

void View::Start(int rows, int columns, std::string& out) {
  if (plain_) {
    lines_.columns = columns;
  } else {
    StartScreen(screen_, rows, columns, out);
  }
}

void View::Redraw(int rows, int columns, bool stopped, std::string& out) {
  if (!plain_) {
    RedrawScreen(screen_, rows, columns, out);
    return;
  }
  lines_.columns = columns;
  if (stopped) EndPlain(lines_, out);
}

void View::Show(std::string_view text, std::string& out) {
  if (plain_) {
    ShowPlainText(lines_, text, out);
  } else {
    ShowText(screen_, text, out);
  }
}

bool View::Takes(const Key& key) const {
  return !plain_ || PlainTakesKey(key);
}

bool View::EndsInput(const Key& key, const LineEditor& editor) const {
  return plain_ && PlainEndsInput(key, editor);
}

void View::KeysCame() {
  screen_.newestOnInputRow = false;
}

void View::Finished(std::string_view line, std::string& out) {
  if (plain_) {
    ShowPlainSent(lines_, line, out);
  } else if (!line.empty()) {
    ShowSentLine(screen_, line, out);
  }
}

void View::Draw(const LineEditor& editor, std::string& out) {
  if (plain_) {
    DrawPlainInput(lines_, editor, out);
  } else {
    DrawInputRow(screen_, editor, out);
  }
}

void View::End(std::string& out) {
  if (plain_) {
    EndPlain(lines_, out);
  } else {
    EndScreen(screen_, out);
  }
}

}  // namespace client
