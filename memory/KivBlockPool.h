#pragma once

#include <cstddef>
#include <memory>
#include <vector>

// Storage for many small objects of one size that come and go in any
// order: the live blocks of a trace, one per allocation record. Slots are
// carved from large chunks and recycled through a free list, so an
// allocation or a free is a few instructions and a slot carries no
// allocator header. Chunks are kept until the pool goes away: a trace whose
// blocks are freed again reuses the same slots, its memory stays at the
// peak of live blocks.
//
// Under AddressSanitizer every object gets its own heap allocation
// instead, so that a use after free is still caught.
class KivBlockPool {
 public:
  // Objects of at most object_size bytes, aligned to at most
  // object_alignment (no more than the default new alignment).
  KivBlockPool(std::size_t object_size, std::size_t object_alignment, std::size_t objects_per_chunk);
  KivBlockPool(const KivBlockPool&) = delete;
  KivBlockPool& operator=(const KivBlockPool&) = delete;

  void* allocate();
  void release(void* p) noexcept;

  // Slots handed out and not yet released.
  std::size_t in_use() const { return in_use_; }

 private:
  struct free_slot {
    free_slot* next;
  };

  void add_chunk();

  std::size_t slot_size_;
  std::size_t per_chunk_;
  std::vector<std::unique_ptr<std::byte[]>> chunks_;
  free_slot* free_ = nullptr;
  std::size_t in_use_ = 0;
};
