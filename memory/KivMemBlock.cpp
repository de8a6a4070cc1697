#include "memory/KivMemBlock.h"

#include <new>

#include "memory/KivBlockPool.h"

namespace {

// Blocks per chunk: 40-byte blocks in chunks of 160 KiB.
constexpr std::size_t blocks_per_chunk = 4096;

KivBlockPool& block_pool() {
  // Never destroyed: blocks may still be deleted by static destructors.
  static KivBlockPool* pool = new KivBlockPool(sizeof(KivMemBlock), alignof(KivMemBlock), blocks_per_chunk);
  return *pool;
}

}  // namespace

// KivMemBlock has no derived types: every request is of its own size.
void* KivMemBlock::operator new(std::size_t) { return block_pool().allocate(); }

void KivMemBlock::operator delete(void* p) noexcept { block_pool().release(p); }
