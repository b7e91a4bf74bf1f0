#include "tls/tls_memory.h"

#include <openssl/crypto.h>
#include <sys/mman.h>

#include <cstdlib>
#include <cstring>

namespace tls {

namespace {

// Below this a buffer costs the heap no page of its own; above it a hole does.
constexpr std::size_t kMinSlotBytes = 4 * 1024;
// Some 4,000 handshakes under way or records being read at once; past that the heap
// serves. Address space only: 128 MiB reserved, resident as used.
constexpr std::size_t kProcessSlots = 4096;

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kAddressSanitizer = true;
#elif defined(__has_feature)
constexpr bool kAddressSanitizer = __has_feature(address_sanitizer);
#else
constexpr bool kAddressSanitizer = false;
#endif

thread_local bool sessionRunning = false;

BufferSlots& ProcessSlots() {
  // Never destroyed: OpenSSL frees its last blocks at exit, after static destructors.
  static BufferSlots* const slots = new BufferSlots(kProcessSlots);
  return *slots;
}

void* Allocate(std::size_t size, const char*, int) {
  if (sessionRunning && size >= kMinSlotBytes) {
    if (void* block = ProcessSlots().Allocate(size)) return block;
  }
  return std::malloc(size);
}

void* Reallocate(void* block, std::size_t size, const char* file, int line) {
  if (block == nullptr) return Allocate(size, file, line);
  BufferSlots& slots = ProcessSlots();
  return slots.Owns(block) ? slots.Reallocate(block, size) : std::realloc(block, size);
}

void Free(void* block, const char*, int) {
  BufferSlots& slots = ProcessSlots();
  if (block != nullptr && slots.Owns(block)) {
    slots.Free(block);
  } else {
    std::free(block);
  }
}

std::size_t& SizeOf(void* block) {
  return *reinterpret_cast<std::size_t*>(static_cast<char*>(block) - BufferSlots::kHeaderBytes);
}

}  // namespace

bool UseSessionBufferSlots() {
  if (kAddressSanitizer) return false;
  (void)ProcessSlots();  // its vectors come from the heap, before OpenSSL's first block
  return CRYPTO_set_mem_functions(Allocate, Reallocate, Free) == 1;
}

SessionRun::SessionRun() : outer_(sessionRunning) {
  sessionRunning = true;
}

SessionRun::~SessionRun() {
  sessionRunning = outer_;
}

BufferSlots::BufferSlots(std::size_t slots) {
  void* range = ::mmap(nullptr, slots * kSlotBytes, PROT_READ | PROT_WRITE,
                       MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  if (range == MAP_FAILED) return;
  base_ = static_cast<char*>(range);
  slots_ = slots;
  warm_.reserve(kWarmSlots);
  cold_.reserve(slots);
  for (std::size_t slot = slots; slot > 0; --slot) cold_.push_back(slot - 1);
}

BufferSlots::~BufferSlots() {
  if (base_ != nullptr) ::munmap(base_, slots_ * kSlotBytes);
}

void* BufferSlots::Allocate(std::size_t size) {
  if (size > kMaxBlockBytes) return nullptr;
  std::size_t slot = 0;
  {
    std::lock_guard<std::mutex> guard(mutex_);
    std::vector<std::size_t>& from = !warm_.empty() ? warm_ : cold_;
    if (from.empty()) return nullptr;
    slot = from.back();
    from.pop_back();
  }
  void* block = base_ + slot * kSlotBytes + kHeaderBytes;
  SizeOf(block) = size;
  return block;
}

bool BufferSlots::Owns(const void* block) const {
  const char* at = static_cast<const char*>(block);
  return base_ != nullptr && at >= base_ && at < base_ + slots_ * kSlotBytes;
}

void* BufferSlots::Reallocate(void* block, std::size_t size) {
  if (size == 0) {
    Free(block);
    return nullptr;
  }
  if (size <= kMaxBlockBytes) {
    SizeOf(block) = size;
    return block;
  }
  void* moved = std::malloc(size);
  if (moved == nullptr) return nullptr;
  std::memcpy(moved, block, SizeOf(block));
  Free(block);
  return moved;
}

void BufferSlots::Free(void* block) {
  const std::size_t slot = static_cast<std::size_t>(static_cast<char*>(block) - base_) / kSlotBytes;
  {
    std::lock_guard<std::mutex> guard(mutex_);
    if (warm_.size() < kWarmSlots) {
      warm_.push_back(slot);
      return;
    }
  }
  ::madvise(base_ + slot * kSlotBytes, kSlotBytes, MADV_DONTNEED);
  std::lock_guard<std::mutex> guard(mutex_);
  cold_.push_back(slot);
}

}  // namespace tls
