#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

// A small direct-mapped cache in front of a map keyed by 32-bit ids. A trace
// moves between a few dozen malloc ids, and walking the ordered map on every
// memory record cost a few percent of a conversion. The cache holds plain
// pointers: its owner clears it whenever an entry it may hold goes away.
template <typename T, std::size_t Slots>
class id_cache {
  static_assert(Slots != 0 && (Slots & (Slots - 1)) == 0, "slots must be a power of two");

 public:
  // The cached value of id, or null when the id's slot holds another id.
  T* find(std::uint32_t id) const {
    const slot& s = slots_[id & (Slots - 1)];
    return s.id == id ? s.value : nullptr;
  }
  void put(std::uint32_t id, T* value) { slots_[id & (Slots - 1)] = {id, value}; }
  void clear() { slots_.fill(slot{}); }

 private:
  struct slot {
    std::uint32_t id = 0;
    T* value = nullptr;
  };
  std::array<slot, Slots> slots_{};
};
