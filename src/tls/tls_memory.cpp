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

// Made before OpenSSL's calls come here, and never destroyed: OpenSSL frees its last
// blocks at exit, after static destructors.
BufferSlots* processSlots = nullptr;

void* Allocate(std::size_t size, const char*, int) {
  if (sessionRunning && size >= kMinSlotBytes) {
    if (void* block = processSlots->Allocate(size)) return block;
  }
  return std::malloc(size);
}

void* Reallocate(void* block, std::size_t size, const char* file, int line) {
  if (block == nullptr) return Allocate(size, file, line);
  return processSlots->Owns(block) ? processSlots->Reallocate(block, size)
                                   : std::realloc(block, size);
}

void Free(void* block, const char*, int) {
  if (block != nullptr && processSlots->Owns(block)) {
    processSlots->Free(block);
  } else {
    std::free(block);
  }
}

std::size_t& SizeOf(void* block) {
  return *reinterpret_cast<std::size_t*>(static_cast<char*>(block) - BufferSlots::kHeaderBytes);
}

}  // namespace

bool UseSessionBufferSlots() {
  if (kAddressSanitizer || processSlots != nullptr) return false;
  processSlots = new BufferSlots(kProcessSlots);
  if (CRYPTO_set_mem_functions(Allocate, Reallocate, Free) == 1) return true;
  delete processSlots;
  processSlots = nullptr;
  return false;
}

void TrimSessionBuffers() {
  if (processSlots != nullptr) processSlots->Trim();
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
  warm_.reserve(slots);
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
  std::lock_guard<std::mutex> guard(mutex_);
  warm_.push_back(slot);
}

void BufferSlots::Trim() {
  std::vector<std::size_t> trimmed;
  {
    std::lock_guard<std::mutex> guard(mutex_);
    if (warm_.size() <= kWarmSlots) return;
    const auto keep = warm_.end() - static_cast<std::ptrdiff_t>(kWarmSlots);
    trimmed.assign(warm_.begin(), keep);
    warm_.erase(warm_.begin(), keep);
  }
  // Out of the lock, the slots in neither list: the reads and writes of the
  // connections meanwhile go on.
  for (const std::size_t slot : trimmed) {
    ::madvise(base_ + slot * kSlotBytes, kSlotBytes, MADV_DONTNEED);
  }
  std::lock_guard<std::mutex> guard(mutex_);
  cold_.insert(cold_.end(), trimmed.begin(), trimmed.end());
}

}  // namespace tls
