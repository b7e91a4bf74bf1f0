// ByteQueue: bytes taken from the front in the order they came, such as what a
// connection has received and not yet handled, or queued and not yet sent. It gives
// its memory back when it runs empty and compacts while it never does, so a steady
// stream cannot grow it. Not thread-safe: its owner guards it.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace core {

class ByteQueue {
 public:
  // When the queue runs empty it keeps a buffer of up to `keepCapacity` bytes (busy
  // queues skip an allocation per use) and gives a larger one back.
  explicit ByteQueue(std::size_t keepCapacity) : keep_(keepCapacity) {}

  bool Empty() const { return head_ == bytes_.size(); }
  std::size_t Size() const { return bytes_.size() - head_; }
  std::string_view View() const { return std::string_view(bytes_).substr(head_); }
  // The memory it holds: its bytes, those taken and not yet compacted away, and room
  // for more.
  std::size_t Held() const { return bytes_.capacity(); }

  void Append(std::string_view more) { bytes_.append(more); }
  void Append(char byte) { bytes_.push_back(byte); }

  // Drops `count` bytes from the front. REQUIRES: count <= Size().
  void Consume(std::size_t count);

  // Drops everything and gives the memory back.
  void Clear();

 private:
  std::string bytes_;
  std::size_t head_ = 0;  // the first byte not yet taken
  std::size_t keep_;
};

}  // namespace core
