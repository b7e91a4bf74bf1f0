// ByteQueue: bytes taken from the front in the order they came, such as what a
// connection has received and not yet handled, or queued and not yet sent. Empty, it
// holds no memory and is one pointer wide: a server keeps three for each of thousands
// of mostly idle connections. It gives its memory back when it runs empty and compacts
// while it never does, so a steady stream cannot grow it. Not thread-safe: its owner
// guards it.
#pragma once

#include <cstddef>
#include <string_view>

namespace core {

class ByteQueue {
 public:
  ByteQueue() = default;
  ~ByteQueue() { Clear(); }
  ByteQueue(ByteQueue&& other) noexcept : block_(other.block_) { other.block_ = nullptr; }
  ByteQueue& operator=(ByteQueue&& other) noexcept;
  ByteQueue(const ByteQueue&) = delete;
  ByteQueue& operator=(const ByteQueue&) = delete;

  bool Empty() const { return block_ == nullptr; }
  std::size_t Size() const { return block_ == nullptr ? 0 : block_->end - block_->head; }
  std::string_view View() const;
  // The memory it holds: its bytes, those taken and not yet compacted away, and room
  // for more.
  std::size_t Held() const { return block_ == nullptr ? 0 : sizeof(Block) + block_->capacity; }

  void Append(std::string_view more);
  void Append(char byte) { Append(std::string_view(&byte, 1)); }

  // Drops `count` bytes from the front. REQUIRES: count <= Size().
  void Consume(std::size_t count);

  // Drops everything and gives the memory back.
  void Clear();

 private:
  // One allocation: this header, then `capacity` bytes, of which [head, end) are queued.
  // There is a block exactly while the queue holds a byte.
  struct Block {
    std::size_t head;
    std::size_t end;
    std::size_t capacity;
  };
  static char* BytesOf(Block* block) { return reinterpret_cast<char*>(block + 1); }
  // Makes the block (none yet: a fresh one, its head and end unset) hold `capacity` bytes.
  void Resize(std::size_t capacity);

  Block* block_ = nullptr;
};

}  // namespace core
