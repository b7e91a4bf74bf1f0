// What the client's key loop draws with on a terminal in raw mode: the full screen
// (client/screen.h) or plain mode (client/plain.h), behind one set of calls so that
// the loop, its keys and its signals are the same for both. Only the client's main
// thread uses a View.
#pragma once

#include <string>
#include <string_view>

#include "client/editor.h"
#include "client/plain.h"
#include "client/screen.h"

namespace client {

class View {
 public:
  explicit View(bool plain) : plain_(plain) {}

  // Lays the terminal out at the given size: the full screen clears it; plain mode
  // writes nothing.
  void Start(int rows, int columns, std::string& out);
  // After a resize, and after a stop (`stopped`), when what the terminal shows is not
  // known any more: the full screen is drawn again; plain mode ends the typed line's
  // row after a stop, to echo it again on a row of its own.
  void Redraw(int rows, int columns, bool stopped, std::string& out);
  void Show(std::string_view text, std::string& out);
  // False for a key the view has no use for (plain mode's cursor keys), which is then
  // dropped.
  bool Takes(const Key& key) const;
  // True for a key that ends the input (plain mode's Ctrl-D on an empty line).
  bool EndsInput(const Key& key, const LineEditor& editor) const;
  // Keys came: a window of one row shows the line being typed again.
  void KeysCame();
  // A line finished with Enter, empty or not (only plain mode shows an empty one).
  void Finished(std::string_view line, std::string& out);
  // Shows the line being typed as the editor holds it.
  void Draw(const LineEditor& editor, std::string& out);
  // Gives the terminal back: the full screen's scrolling region reset and its input row
  // erased; in plain mode the typed line's row ended.
  void End(std::string& out);

 private:
  const bool plain_;
  Screen screen_;     // the full screen's
  PlainLines lines_;  // plain mode's
};

}  // namespace client
