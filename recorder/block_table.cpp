#include "recorder/block_table.h"

#include "recorder/system_memory.h"

namespace kivrec {

namespace {
// Fibonacci hashing spreads the aligned, clustered addresses of a heap.
constexpr std::uint64_t hash_multiplier = 0x9e3779b97f4a7c15ULL;
}  // namespace

std::size_t block_table::home(std::uint64_t address) const {
  return static_cast<std::size_t>((address * hash_multiplier) >> 20) & (capacity_ - 1);
}

void block_table::place(std::uint64_t address, block_info info) {
  std::size_t i = home(address);
  while (slots_[i].address != 0 && slots_[i].address != address) i = (i + 1) & (capacity_ - 1);
  if (slots_[i].address == 0) ++count_;
  slots_[i] = {address, info};
}

bool block_table::grow() {
  const std::size_t old_capacity = capacity_;
  slot* old = slots_;
  const std::size_t capacity = old_capacity == 0 ? first_capacity : old_capacity * 2;
  auto* fresh = static_cast<slot*>(map_memory(capacity * sizeof(slot)));
  if (fresh == nullptr) return false;
  slots_ = fresh;
  capacity_ = capacity;
  count_ = 0;
  for (std::size_t i = 0; i < old_capacity; ++i)
    if (old[i].address != 0) place(old[i].address, old[i].info);
  unmap_memory(old, old_capacity * sizeof(slot));
  return true;
}

bool block_table::insert(std::uint64_t address, block_info info) {
  // Kept at most half full so that probe runs stay short.
  if ((count_ + 1) * 2 > capacity_ && !grow()) return false;
  place(address, info);
  return true;
}

bool block_table::find(std::uint64_t address, block_info* info) const {
  if (capacity_ == 0) return false;
  for (std::size_t i = home(address); slots_[i].address != 0; i = (i + 1) & (capacity_ - 1)) {
    if (slots_[i].address != address) continue;
    *info = slots_[i].info;
    return true;
  }
  return false;
}

bool block_table::remove(std::uint64_t address, block_info* info) {
  if (capacity_ == 0) return false;
  const std::size_t mask = capacity_ - 1;
  std::size_t i = home(address);
  while (slots_[i].address != address) {
    if (slots_[i].address == 0) return false;
    i = (i + 1) & mask;
  }
  *info = slots_[i].info;
  // Backward shift: pull later members of the probe run into the hole.
  std::size_t hole = i;
  for (std::size_t j = (i + 1) & mask; slots_[j].address != 0; j = (j + 1) & mask) {
    const std::size_t want = home(slots_[j].address);
    const bool movable = hole <= j ? (want <= hole || want > j) : (want <= hole && want > j);
    if (!movable) continue;
    slots_[hole] = slots_[j];
    hole = j;
  }
  slots_[hole].address = 0;
  --count_;
  return true;
}

void block_table::clear() {
  unmap_memory(slots_, capacity_ * sizeof(slot));
  slots_ = nullptr;
  capacity_ = 0;
  count_ = 0;
}

}  // namespace kivrec
