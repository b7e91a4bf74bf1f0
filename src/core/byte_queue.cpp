#include "core/byte_queue.h"

#include <algorithm>
#include <cassert>
#include <cstdlib>
#include <cstring>

namespace core {

namespace {

// The least room a block is made with: a frame or a line or two, without growing for
// every byte of a line taken in pieces.
constexpr std::size_t kLeastCapacity = 48;

}  // namespace

ByteQueue& ByteQueue::operator=(ByteQueue&& other) noexcept {
  if (this != &other) {
    Clear();
    block_ = other.block_;
    other.block_ = nullptr;
  }
  return *this;
}

std::string_view ByteQueue::View() const {
  if (block_ == nullptr) return {};
  return std::string_view(BytesOf(block_) + block_->head, block_->end - block_->head);
}

void ByteQueue::Append(std::string_view more) {
  if (more.empty()) return;
  if (block_ == nullptr) {
    Resize(std::max(more.size(), kLeastCapacity));
    block_->head = block_->end = 0;
  } else if (block_->end + more.size() > block_->capacity) {
    // The bytes taken make room first; then it grows to twice its room, so that
    // appends cost their bytes.
    const std::size_t size = Size();
    if (block_->head != 0) {
      std::memmove(BytesOf(block_), BytesOf(block_) + block_->head, size);
      block_->head = 0;
      block_->end = size;
    }
    if (size + more.size() > block_->capacity)
      Resize(std::max(size + more.size(), 2 * block_->capacity));
  }
  std::memcpy(BytesOf(block_) + block_->end, more.data(), more.size());
  block_->end += more.size();
}

void ByteQueue::Resize(std::size_t capacity) {
  void* resized = std::realloc(block_, sizeof(Block) + capacity);
  if (resized == nullptr) std::abort();  // out of memory, as operator new would end it
  block_ = static_cast<Block*>(resized);
  block_->capacity = capacity;
}

void ByteQueue::Consume(std::size_t count) {
  assert(count <= Size());
  if (count == 0) return;
  block_->head += count;
  if (block_->head == block_->end) {
    Clear();
  } else if (block_->head > 4096 && block_->head > (block_->end - block_->head)) {
    // A queue that never runs dry must not grow for ever.
    const std::size_t size = block_->end - block_->head;
    std::memmove(BytesOf(block_), BytesOf(block_) + block_->head, size);
    block_->head = 0;
    block_->end = size;
  }
}

void ByteQueue::Clear() {
  std::free(block_);
  block_ = nullptr;
}

}  // namespace core
