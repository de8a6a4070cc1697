#include "report/hash_index.h"

#include <utility>

namespace kivdb::report {

namespace {

constexpr std::size_t first_capacity = 64;

}  // namespace

std::uint64_t hash_index::mix(std::uint64_t key) {
  key ^= key >> 30;
  key *= 0xBF58476D1CE4E5B9ull;
  key ^= key >> 27;
  key *= 0x94D049BB133111EBull;
  return key ^ (key >> 31);
}

void hash_index::insert(std::uint64_t hash, std::uint32_t value) {
  if (2 * (used_ + 1) > slots_.size()) grow();
  place(hash, value);
  ++used_;
}

void hash_index::place(std::uint64_t hash, std::uint32_t value) {
  std::size_t i = hash & mask();
  while (slots_[i].value != none) i = (i + 1) & mask();
  slots_[i] = {hash, value};
}

void hash_index::grow() {
  std::vector<slot> old = std::exchange(slots_, std::vector<slot>(slots_.empty() ? first_capacity : 2 * slots_.size()));
  for (const slot& s : old)
    if (s.value != none) place(s.hash, s.value);
}

}  // namespace kivdb::report
