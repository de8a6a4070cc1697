#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace kivdb::report {

// Finds 32-bit values (indices into storage the caller keeps) by a 64-bit
// hash of what they stand for: open addressing with linear probing in one
// array, never more than half full, so a lookup is mostly one cache miss
// and an insert allocates only when the array doubles.
class hash_index {
 public:
  static constexpr std::uint32_t none = UINT32_MAX;

  // The value stored under `hash` for which same(value) holds, or none.
  template <typename Same>
  std::uint32_t find(std::uint64_t hash, Same same) const {
    if (slots_.empty()) return none;
    for (std::size_t i = hash & mask(); slots_[i].value != none; i = (i + 1) & mask())
      if (slots_[i].hash == hash && same(slots_[i].value)) return slots_[i].value;
    return none;
  }

  void insert(std::uint64_t hash, std::uint32_t value);

  // Spreads a key over all 64 bits (splitmix64's finalizer, a bijection:
  // two keys share the result only when they are equal).
  static std::uint64_t mix(std::uint64_t key);

 private:
  struct slot {
    std::uint64_t hash = 0;
    std::uint32_t value = none;
  };
  std::size_t mask() const { return slots_.size() - 1; }
  void place(std::uint64_t hash, std::uint32_t value);
  void grow();

  std::vector<slot> slots_;
  std::size_t used_ = 0;
};

}  // namespace kivdb::report
