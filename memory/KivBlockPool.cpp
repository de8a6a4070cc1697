#include "memory/KivBlockPool.h"

#include <algorithm>
#include <new>

namespace {

#if defined(__SANITIZE_ADDRESS__)
constexpr bool own_heap = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool own_heap = true;
#else
constexpr bool own_heap = false;
#endif
#else
constexpr bool own_heap = false;
#endif

std::size_t round_up(std::size_t n, std::size_t to) { return (n + to - 1) / to * to; }

}  // namespace

KivBlockPool::KivBlockPool(std::size_t object_size, std::size_t object_alignment,
                           std::size_t objects_per_chunk)
    : slot_size_(round_up(std::max(object_size, sizeof(free_slot)), std::max(object_alignment, alignof(free_slot)))),
      per_chunk_(std::max<std::size_t>(objects_per_chunk, 1)) {}

void* KivBlockPool::allocate() {
  ++in_use_;
  if constexpr (own_heap) return ::operator new(slot_size_);
  if (free_ == nullptr) add_chunk();
  free_slot* s = free_;
  free_ = s->next;
  return s;
}

void KivBlockPool::release(void* p) noexcept {
  if (p == nullptr) return;
  --in_use_;
  if constexpr (own_heap) {
    ::operator delete(p);
    return;
  }
  auto* s = static_cast<free_slot*>(p);
  s->next = free_;
  free_ = s;
}

// The slots of a new chunk are linked in address order, so that a growing
// trace fills memory front to back.
void KivBlockPool::add_chunk() {
  chunks_.push_back(std::make_unique_for_overwrite<std::byte[]>(slot_size_ * per_chunk_));
  std::byte* base = chunks_.back().get();
  for (std::size_t i = per_chunk_; i-- > 0;) {
    auto* s = ::new (base + i * slot_size_) free_slot{free_};
    free_ = s;
  }
}
