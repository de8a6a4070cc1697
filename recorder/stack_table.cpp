#include "recorder/stack_table.h"

#include <cstring>

#include "recorder/system_memory.h"

namespace kivrec {

namespace {

constexpr std::uint64_t hash_multiplier = 0x9e3779b97f4a7c15ULL;
constexpr unsigned hash_rotation = 29;
constexpr std::size_t header_words = 2;  // a stored stack's header
static_assert(sizeof(std::uint64_t) * header_words >= 16, "a stored stack's header fits its words");

}  // namespace

namespace {

std::uint64_t mixed(std::uint64_t h) {
  h *= hash_multiplier;
  return h << hash_rotation | h >> (64 - hash_rotation);
}

}  // namespace

// Fast, and the frames of real stacks (distinct return addresses) spread
// well. Four lanes take every fourth frame each, so that the multiplies of
// a deep stack overlap instead of waiting for each other. Never 0, which
// marks an empty slot.
std::uint64_t stack_hash(const std::uint64_t* frames, std::uint32_t count, std::uint32_t generation) {
  constexpr int lanes = 4;
  std::uint64_t lane[lanes];
  for (int k = 0; k < lanes; ++k) lane[k] = (std::uint64_t{count} << 32 | generation) + static_cast<std::uint64_t>(k);
  std::uint32_t i = 0;
  for (; i + lanes <= count; i += lanes)
    for (int k = 0; k < lanes; ++k) lane[k] = mixed(lane[k] ^ frames[i + static_cast<std::uint32_t>(k)]);
  for (int k = 0; i < count; ++i, ++k) lane[k] = mixed(lane[k] ^ frames[i]);
  std::uint64_t h = mixed(lane[0]);
  for (int k = 1; k < lanes; ++k) h = mixed(h ^ lane[k]);
  return h == 0 ? 1 : h;
}

bool stack_table::equal(const slot& s, std::uint64_t hash, const std::uint64_t* frames, std::uint32_t count,
                        std::uint32_t generation) const {
  if (s.hash != hash) return false;
  const stored* st = at(s.offset);
  if (st->count != count || st->generation != generation) return false;
  return count == 0 || std::memcmp(words_ + s.offset + header_words, frames, count * sizeof(std::uint64_t)) == 0;
}

bool stack_table::grow_slots() {
  const std::size_t capacity = slot_capacity_ == 0 ? first_slots : slot_capacity_ * 2;
  auto* fresh = static_cast<slot*>(map_memory(capacity * sizeof(slot)));
  if (fresh == nullptr) return false;
  for (std::size_t i = 0; i < slot_capacity_; ++i) {
    if (slots_[i].hash == 0) continue;
    std::size_t j = slots_[i].hash & (capacity - 1);
    while (fresh[j].hash != 0) j = (j + 1) & (capacity - 1);
    fresh[j] = slots_[i];
  }
  unmap_memory(slots_, slot_capacity_ * sizeof(slot));
  slots_ = fresh;
  slot_capacity_ = capacity;
  return true;
}

bool stack_table::reserve_words(std::size_t words) {
  if (words_used_ + words <= word_capacity_) return true;
  std::size_t capacity = word_capacity_ == 0 ? first_words : word_capacity_;
  while (capacity < words_used_ + words) capacity *= 2;
  auto* fresh = static_cast<std::uint64_t*>(
      remap_memory(words_, word_capacity_ * sizeof(std::uint64_t), capacity * sizeof(std::uint64_t)));
  if (fresh == nullptr) return false;
  words_ = fresh;
  word_capacity_ = capacity;
  return true;
}

stack_entry* stack_table::find(const std::uint64_t* frames, std::uint32_t count,
                               std::uint32_t generation) const {
  if (slot_capacity_ == 0) return nullptr;
  const std::uint64_t hash = hash_(frames, count, generation) | 1;
  for (std::size_t i = hash & (slot_capacity_ - 1); slots_[i].hash != 0; i = (i + 1) & (slot_capacity_ - 1))
    if (equal(slots_[i], hash, frames, count, generation)) return &at(slots_[i].offset)->entry;
  return nullptr;
}

stack_entry* stack_table::intern(const std::uint64_t* frames, std::uint32_t count, std::uint32_t generation,
                                 bool* added) {
  *added = false;
  if ((count_ + 1) * 2 > slot_capacity_ && !grow_slots()) return nullptr;
  const std::uint64_t hash = hash_(frames, count, generation) | 1;
  std::size_t i = hash & (slot_capacity_ - 1);
  for (; slots_[i].hash != 0; i = (i + 1) & (slot_capacity_ - 1))
    if (equal(slots_[i], hash, frames, count, generation)) return &at(slots_[i].offset)->entry;
  if (!reserve_words(header_words + count)) return nullptr;
  const std::uint64_t offset = words_used_;
  stored* st = at(offset);
  st->count = count;
  st->generation = generation;
  st->entry = {static_cast<std::uint32_t>(count_ + 1), 0};
  if (count != 0) std::memcpy(words_ + offset + header_words, frames, count * sizeof(std::uint64_t));
  words_used_ += header_words + count;
  slots_[i] = {hash, offset};
  ++count_;
  *added = true;
  return &st->entry;
}

void stack_table::clear() {
  unmap_memory(slots_, slot_capacity_ * sizeof(slot));
  unmap_memory(words_, word_capacity_ * sizeof(std::uint64_t));
  slots_ = nullptr;
  words_ = nullptr;
  slot_capacity_ = 0;
  word_capacity_ = 0;
  words_used_ = 0;
  count_ = 0;
}

}  // namespace kivrec
