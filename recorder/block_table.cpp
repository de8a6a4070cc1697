#include "recorder/block_table.h"

#include "recorder/system_memory.h"

namespace kivrec {

namespace {

constexpr unsigned info_bits = block_table::id_bits + block_table::color_bits;
constexpr std::uint64_t info_mask = (std::uint64_t{1} << info_bits) - 1;
constexpr unsigned page_shift = 12;
constexpr unsigned granule_shift = 4;     // malloc's 16-byte alignment
constexpr std::size_t page_slots = std::size_t{1} << (page_shift - granule_shift);
constexpr std::uint64_t hash_multiplier = 0x9e3779b97f4a7c15ULL;

std::uint64_t address_of(std::uint64_t slot) { return slot >> info_bits; }

std::uint64_t pack(std::uint64_t address, block_info info) {
  return address << info_bits | std::uint64_t{info.id} << block_table::color_bits | info.color;
}

block_info unpack(std::uint64_t slot) {
  return {static_cast<std::uint16_t>((slot & info_mask) >> block_table::color_bits),
          static_cast<std::uint8_t>(slot & (block_table::color_limit - 1))};
}

}  // namespace

// The page picks a neighbourhood at random, the offset within the page a
// slot within it.
std::size_t block_table::home_in(std::uint64_t address, std::size_t capacity) {
  const std::uint64_t page = (address >> page_shift) * hash_multiplier;
  const std::uint64_t within = (address >> granule_shift) & (page_slots - 1);
  return static_cast<std::size_t>((page >> 32) * page_slots + within) & (capacity - 1);
}

void block_table::publish() {
  hint_slots_.store(slots_, std::memory_order_relaxed);
  hint_capacity_.store(capacity_, std::memory_order_relaxed);
}

void block_table::place(std::uint64_t slot_value) {
  const std::uint64_t address = address_of(slot_value);
  std::size_t i = home(address);
  while (slots_[i] != 0 && address_of(slots_[i]) != address) i = (i + 1) & (capacity_ - 1);
  if (slots_[i] == 0) ++count_;
  slots_[i] = slot_value;
}

bool block_table::grow() {
  const std::size_t old_capacity = capacity_;
  std::uint64_t* old = slots_;
  const std::size_t capacity = old_capacity == 0 ? first_capacity : old_capacity * 2;
  auto* fresh = static_cast<std::uint64_t*>(map_memory(capacity * sizeof(std::uint64_t)));
  if (fresh == nullptr) return false;
  slots_ = fresh;
  capacity_ = capacity;
  count_ = 0;
  for (std::size_t i = 0; i < old_capacity; ++i)
    if (old[i] != 0) place(old[i]);
  publish();
  unmap_memory(old, old_capacity * sizeof(std::uint64_t));
  return true;
}

bool block_table::insert(std::uint64_t address, block_info info) {
  if (address == 0 || address >> address_bits != 0) return false;
  // Kept at most half full so that probe runs stay short.
  if ((count_ + 1) * 2 > capacity_ && !grow()) return false;
  place(pack(address, info));
  return true;
}

std::size_t block_table::locate(std::uint64_t address) const {
  if (capacity_ == 0) return capacity_;
  for (std::size_t i = home(address); slots_[i] != 0; i = (i + 1) & (capacity_ - 1))
    if (address_of(slots_[i]) == address) return i;
  return capacity_;
}

bool block_table::find(std::uint64_t address, block_info* info) const {
  const std::size_t i = locate(address);
  if (i == capacity_) return false;
  *info = unpack(slots_[i]);
  return true;
}

bool block_table::remove(std::uint64_t address, block_info* info) {
  const std::size_t i = locate(address);
  if (i == capacity_) return false;
  *info = unpack(slots_[i]);
  // Backward shift: pull later members of the probe run into the hole.
  const std::size_t mask = capacity_ - 1;
  std::size_t hole = i;
  for (std::size_t j = (i + 1) & mask; slots_[j] != 0; j = (j + 1) & mask) {
    const std::size_t want = home(address_of(slots_[j]));
    const bool movable = hole <= j ? (want <= hole || want > j) : (want <= hole && want > j);
    if (!movable) continue;
    slots_[hole] = slots_[j];
    hole = j;
  }
  slots_[hole] = 0;
  --count_;
  return true;
}

void block_table::clear() {
  unmap_memory(slots_, capacity_ * sizeof(std::uint64_t));
  slots_ = nullptr;
  capacity_ = 0;
  count_ = 0;
  publish();
}

}  // namespace kivrec
