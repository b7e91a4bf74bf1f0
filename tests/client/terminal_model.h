// A terminal as small as the client's screen needs, for tests to read what a user
// would see: cursor positioning, erasing, a scrolling region, line feeds that scroll
// it, tabs, backspace and the pending wrap at the right edge; other sequences are
// skipped. One byte takes one cell.
#pragma once

#include <algorithm>
#include <string>
#include <string_view>
#include <vector>

namespace client_test {

class TerminalModel {
 public:
  // Every cell starts as '~', so rows nobody drew stand out.
  TerminalModel(int rows, int columns)
      : rows_(rows),
        columns_(columns),
        bottom_(rows - 1),
        cells_(static_cast<std::size_t>(rows),
               std::string(static_cast<std::size_t>(columns), '~')) {}

  void Feed(std::string_view bytes) {
    for (const char byte : bytes) Put(byte);
  }

  // Row `row` (from 1) as shown, blanks at its end left out.
  std::string Text(int row) const {
    const std::string& text = cells_[static_cast<std::size_t>(row - 1)];
    return text.substr(0, text.find_last_not_of(' ') + 1);
  }

 private:
  void Put(char byte) {
    if (state_ == 1) {  // after ESC
      state_ = byte == '[' ? 2 : 0;
      parameters_.clear();
    } else if (state_ == 2) {  // in ESC [
      if (byte >= 0x20 && byte <= 0x3F) {
        parameters_.push_back(byte);
      } else {
        state_ = 0;
        Control(byte);
      }
    } else if (byte == '\x1b') {
      state_ = 1;
    } else if (byte == '\r') {
      column_ = 0;
      wrapPending_ = false;
    } else if (byte == '\n') {
      LineFeed();
    } else if (byte == '\b') {  // never back over the left edge
      if (column_ > 0) --column_;
      wrapPending_ = false;
    } else if (byte == '\t') {
      column_ = std::min((column_ / 8 + 1) * 8, columns_ - 1);
    } else if (static_cast<unsigned char>(byte) >= 0x20) {
      if (wrapPending_) {
        column_ = 0;
        wrapPending_ = false;
        LineFeed();
      }
      Cell(row_, column_) = byte;
      wrapPending_ = column_ == columns_ - 1;
      if (!wrapPending_) ++column_;
    }
  }

  void Control(char final) {
    std::vector<int> numbers{0};
    for (const char c : parameters_) {
      if (c == ';') numbers.push_back(0);
      if (c >= '0' && c <= '9') numbers.back() = numbers.back() * 10 + (c - '0');
    }
    const auto number = [&](std::size_t i, int otherwise) {
      return i < numbers.size() && numbers[i] != 0 ? numbers[i] : otherwise;
    };
    wrapPending_ = false;
    if (final == 'H') {
      row_ = std::clamp(number(0, 1), 1, rows_) - 1;
      column_ = std::clamp(number(1, 1), 1, columns_) - 1;
    } else if (final == 'r') {
      top_ = number(0, 1) - 1;
      bottom_ = number(1, rows_) - 1;
      row_ = column_ = 0;
    } else if (final == 'K' || final == 'J') {  // 2: the whole row or screen; else from the cursor
      const bool whole = numbers[0] == 2;
      for (int r = final == 'K' || !whole ? row_ : 0; r < (final == 'K' ? row_ + 1 : rows_); ++r) {
        for (int c = whole || r > row_ ? 0 : column_; c < columns_; ++c) Cell(r, c) = ' ';
      }
    }
  }

  void LineFeed() {
    if (row_ != bottom_) {
      row_ = std::min(row_ + 1, rows_ - 1);
      return;
    }
    cells_.erase(cells_.begin() + top_);
    cells_.insert(cells_.begin() + bottom_, std::string(static_cast<std::size_t>(columns_), ' '));
  }

  char& Cell(int row, int column) {
    return cells_[static_cast<std::size_t>(row)][static_cast<std::size_t>(column)];
  }

  int rows_;
  int columns_;
  int top_ = 0;  // the scrolling region, rows from 0
  int bottom_;
  int row_ = 0;  // the cursor, from 0
  int column_ = 0;
  bool wrapPending_ = false;  // the last column was written; the next character wraps
  int state_ = 0;             // 0 plain, 1 after ESC, 2 in ESC [
  std::string parameters_;
  std::vector<std::string> cells_;
};

}  // namespace client_test
