#include "connection/node_pool.h"

#include <cassert>
#include <cstdint>
#include <new>

namespace connection {

namespace {

// A block is its header, then as many nodes as fit. Its size is its alignment, so that a
// node finds its block by its address alone.
constexpr std::size_t kBlockBytes = 4096;

struct FreeNode {
  FreeNode* next;
};

}  // namespace

struct NodePool::Block {
  Block* previous = nullptr;  // in withRoom_
  Block* next = nullptr;
  FreeNode* free = nullptr;  // nodes given back
  std::size_t taken = 0;
  std::size_t used = 0;  // nodes ever taken: those past it were never touched
};

NodePool::NodePool(std::size_t nodeBytes)
    : nodeBytes_(nodeBytes),
      firstNode_((sizeof(Block) + nodeBytes - 1) / nodeBytes * nodeBytes),
      nodesPerBlock_((kBlockBytes - firstNode_) / nodeBytes) {
  assert(nodeBytes % kNodeAlignment == 0 && nodeBytes <= 1024);
}

NodePool::~NodePool() {
  assert(withRoom_ == nullptr);
  if (spare_ != nullptr) {
    spare_->~Block();
    ::operator delete(spare_, std::align_val_t{kBlockBytes});
  }
}

NodePool::Block* NodePool::BlockOf(void* node) {
  return reinterpret_cast<Block*>(reinterpret_cast<std::uintptr_t>(node) & ~(kBlockBytes - 1));
}

void NodePool::Link(Block* block) {
  block->previous = nullptr;
  block->next = withRoom_;
  if (withRoom_ != nullptr) withRoom_->previous = block;
  withRoom_ = block;
}

void NodePool::Unlink(Block* block) {
  if (block->previous != nullptr) block->previous->next = block->next;
  if (block->next != nullptr) block->next->previous = block->previous;
  if (withRoom_ == block) withRoom_ = block->next;
  block->previous = block->next = nullptr;
}

void* NodePool::Take() {
  if (withRoom_ == nullptr) {
    Block* fresh = spare_ != nullptr ? spare_ : new (::operator new(kBlockBytes, std::align_val_t{kBlockBytes})) Block;
    spare_ = nullptr;
    Link(fresh);
  }
  Block* block = withRoom_;
  void* node;
  if (block->free != nullptr) {
    node = block->free;
    block->free = block->free->next;
  } else {
    node = reinterpret_cast<unsigned char*>(block) + firstNode_ + block->used++ * nodeBytes_;
  }
  if (++block->taken == nodesPerBlock_) Unlink(block);
  return node;
}

void NodePool::Give(void* node) {
  Block* block = BlockOf(node);
  if (block->taken-- == nodesPerBlock_) Link(block);
  if (block->taken == 0) {
    Unlink(block);
    if (spare_ == nullptr) {
      *block = Block{};
      spare_ = block;
    } else {
      block->~Block();
      ::operator delete(block, std::align_val_t{kBlockBytes});
    }
    return;
  }
  block->free = new (node) FreeNode{block->free};
}

}  // namespace connection
