// TLS memory: where OpenSSL's memory comes from. The large buffers OpenSSL takes while a
// session runs (a record's, a handshake's messages and its write buffer: 4 to 32 KiB,
// given back when the record or the handshake is done) come from slots of an address
// range of their own; everything else, the sessions' long-lived objects among it, from
// the heap. On the heap, a burst of handshakes would leave their buffers' holes between
// the objects of the sessions made meanwhile, pages that stay resident once the
// handshakes are done; slots give their pages back whole. Any thread; the slots have a
// lock of their own.
#pragma once

#include <cstddef>
#include <mutex>
#include <vector>

namespace tls {

// Makes OpenSSL take its memory through this module, for the whole process. Call first
// thing in main, before anything uses OpenSSL. False, changing nothing, when OpenSSL has
// taken memory already, or under AddressSanitizer (whose heap checks OpenSSL's buffers).
bool UseSessionBufferSlots();

// Gives the pages of the free slots back to the system, but for kWarmSlots of them.
// Nothing before UseSessionBufferSlots. HandshakeThreads calls it after a burst.
void TrimSessionBuffers();

// While one lives on a thread, OpenSSL's allocations there of kMinSlotBytes or more come
// from the slots (while one is free). Session's calls into OpenSSL hold one; the
// session's own objects, made before, stay on the heap.
class SessionRun {
 public:
  SessionRun();
  ~SessionRun();
  SessionRun(const SessionRun&) = delete;
  SessionRun& operator=(const SessionRun&) = delete;

 private:
  bool outer_;  // the flag as it was: runs may nest
};

// Slots of kSlotBytes each in an address range reserved at construction. Pages are
// resident only once written; a freed slot keeps them (a read or a write takes and gives
// back a buffer every time, a burst of handshakes many) until Trim. Any thread.
class BufferSlots {
 public:
  static constexpr std::size_t kSlotBytes = 32 * 1024;
  static constexpr std::size_t kHeaderBytes = 16;  // the size asked, before the block
  static constexpr std::size_t kMaxBlockBytes = kSlotBytes - kHeaderBytes;
  static constexpr std::size_t kWarmSlots = 8;

  // Reserves `slots` slots; none when the system refuses the range.
  explicit BufferSlots(std::size_t slots);
  ~BufferSlots();
  BufferSlots(const BufferSlots&) = delete;
  BufferSlots& operator=(const BufferSlots&) = delete;

  // A block of `size` bytes in a free slot; null when `size` is over kMaxBlockBytes or
  // no slot is free (the caller takes it from the heap).
  void* Allocate(std::size_t size);
  // True for a block of these slots.
  bool Owns(const void* block) const;
  // A block of these slots resized to `size` bytes: in its slot when it fits, else moved
  // to the heap (malloc) with its bytes. Null, leaving the block as it was, when the
  // heap has no room; `size` 0 frees the block and gives null.
  // REQUIRES: Owns(block).
  void* Reallocate(void* block, std::size_t size);
  // REQUIRES: Owns(block).
  void Free(void* block);
  // Gives back the pages of every free slot but the kWarmSlots freed last.
  void Trim();

 private:
  char* base_ = nullptr;
  std::size_t slots_ = 0;

  // Guarded by mutex_. Reserved at construction: taking and giving back a block never
  // allocates.
  std::mutex mutex_;
  std::vector<std::size_t> warm_;  // free slots whose pages are resident, last freed last
  std::vector<std::size_t> cold_;  // free slots without resident pages
};

}  // namespace tls
