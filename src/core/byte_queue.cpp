#include "core/byte_queue.h"

#include <cassert>

namespace core {

void ByteQueue::Consume(std::size_t count) {
  assert(count <= Size());
  head_ += count;
  if (head_ == bytes_.size()) {
    if (bytes_.capacity() > keep_) {
      std::string().swap(bytes_);
    } else {
      bytes_.clear();
    }
    head_ = 0;
  } else if (head_ > 4096 && head_ > bytes_.size() / 2) {
    bytes_.erase(0, head_);  // a queue that never runs dry must not grow for ever
    head_ = 0;
  }
}

void ByteQueue::Clear() {
  std::string().swap(bytes_);
  head_ = 0;
}

}  // namespace core
