// Frames on the wire: zero or more text bytes and one NUL byte, in both directions.
// FrameSplitter turns a byte stream into frames; it is not shared between threads.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "base/fields.h"

namespace net {

inline constexpr char kFrameEnd = '\0';

// The longest input line the server accepts, in text bytes (the NUL not counted).
inline constexpr std::size_t kMaxLineBytes = 4096;

// Appends the frame for `text` (text bytes, then one NUL) to `out`.
// REQUIRES: text holds no NUL.
void AppendFrame(std::string& out, std::string_view text);

// Splits a byte stream at NUL bytes. Bytes of an unfinished frame are kept until the
// rest arrives, so a frame cut over several reads is one frame, and several frames in
// one read all come out, in order. A frame longer than the limit is never held whole:
// once it passes the limit its bytes are dropped up to its NUL, and it is reported
// once, in its place among the other frames.
class FrameSplitter {
 public:
  explicit FrameSplitter(std::size_t maxFrameBytes) : maxFrameBytes_(maxFrameBytes) {}

  // Feeds received bytes. Calls onFrame(std::string_view text) for every complete frame
  // and onTooLong() for every frame that passed the limit, in stream order.
  template <class OnFrame, class OnTooLong>
  void Feed(std::string_view bytes, OnFrame&& onFrame, OnTooLong&& onTooLong);

  // Bytes of the unfinished frame held now; never more than the limit.
  std::size_t Buffered() const { return partial_.size(); }

  // The unfinished frame, or that one is being dropped, as the fields of one record
  // (base/field_list.h).
  template <class Io, class Self>
  static void Fields(Io& io, Self& s);
  void SaveState(base::FieldWriter& out) const;
  // False, leaving the splitter as it was made, when `in` holds no splitter's state
  // within this splitter's limit.
  bool RestoreState(base::FieldReader& in);

 private:
  std::size_t maxFrameBytes_;
  std::string partial_;    // text of the unfinished frame
  bool discarding_ = false;  // the unfinished frame passed the limit and was reported
};

template <class OnFrame, class OnTooLong>
void FrameSplitter::Feed(std::string_view bytes, OnFrame&& onFrame, OnTooLong&& onTooLong) {
  while (!bytes.empty()) {
    const std::size_t end = bytes.find(kFrameEnd);
    const std::string_view piece = bytes.substr(0, end);
    if (!discarding_) {
      if (partial_.size() + piece.size() > maxFrameBytes_) {
        discarding_ = true;
        partial_.clear();
        partial_.shrink_to_fit();
        onTooLong();
      } else if (end != std::string_view::npos && partial_.empty()) {
        onFrame(piece);  // the common case: a whole frame inside one read, no copy
      } else {
        partial_.append(piece);
        if (end != std::string_view::npos) {
          onFrame(std::string_view(partial_));
          if (partial_.capacity() > 256) std::string().swap(partial_);  // idle connections stay small
          partial_.clear();
        }
      }
    }
    if (end == std::string_view::npos) return;
    discarding_ = false;
    bytes.remove_prefix(end + 1);
  }
}

}  // namespace net
