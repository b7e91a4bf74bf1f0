// NodePool: small records of one size that thousands of connections each hold, in blocks
// of their own rather than among the connections' records, and at their own size rather
// than the heap's least (a plain transport is 8 bytes, the heap's least chunk 32). The
// nodes of the layer's sets of timed connections live here: thousands of connections
// taken in together each file a deadline, and drop it together when they enter play;
// among the records, each node would leave a hole of its size between two records that
// nothing else of the size fills again, where in blocks of their own they leave whole
// blocks, which go back to the heap for anything. Not thread-safe: its user guards it.
#pragma once

#include <cstddef>
#include <memory>

namespace connection {

class NodePool {
 public:
  static constexpr std::size_t kNodeAlignment = 8;

  // REQUIRES: nodeBytes a multiple of kNodeAlignment, and at most 1 KiB.
  explicit NodePool(std::size_t nodeBytes);
  ~NodePool();  // REQUIRES: every node given back
  NodePool(const NodePool&) = delete;
  NodePool& operator=(const NodePool&) = delete;

  std::size_t NodeBytes() const { return nodeBytes_; }

  // A node of NodeBytes(), aligned to kNodeAlignment.
  void* Take();
  // Gives back a node Take gave. A block left with no node taken goes back to the heap,
  // but one, kept for the next node.
  void Give(void* node);

 private:
  struct Block;
  static Block* BlockOf(void* node);
  void Link(Block* block);
  void Unlink(Block* block);

  const std::size_t nodeBytes_;
  const std::size_t firstNode_;  // the offset of a block's first node, past its header
  const std::size_t nodesPerBlock_;
  Block* withRoom_ = nullptr;  // the blocks with a node free, linked both ways
  Block* spare_ = nullptr;     // an empty block kept back
};

// An allocator of single nodes from a NodePool, for a node-based container
// (std::set<..., PoolAllocator<...>>); anything else comes from operator new.
template <class T>
class PoolAllocator {
 public:
  using value_type = T;

  explicit PoolAllocator(NodePool* pool) noexcept : pool_(pool) {}
  template <class U>
  PoolAllocator(const PoolAllocator<U>& other) noexcept : pool_(other.pool_) {}

  T* allocate(std::size_t n) {
    if (FromPool(n)) return static_cast<T*>(pool_->Take());
    return std::allocator<T>().allocate(n);
  }
  void deallocate(T* p, std::size_t n) {
    if (FromPool(n)) return pool_->Give(p);
    std::allocator<T>().deallocate(p, n);
  }

  template <class U>
  bool operator==(const PoolAllocator<U>& other) const {
    return pool_ == other.pool_;
  }

 private:
  template <class U>
  friend class PoolAllocator;

  bool FromPool(std::size_t n) const {
    return n == 1 && sizeof(T) <= pool_->NodeBytes() && alignof(T) <= NodePool::kNodeAlignment;
  }

  NodePool* pool_;
};

}  // namespace connection
