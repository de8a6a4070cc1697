#include "recorder/function_map.h"

#include "recorder/system_memory.h"

namespace kivrec {

namespace {
constexpr std::uint64_t hash_multiplier = 0x9e3779b97f4a7c15ULL;
}

std::size_t function_map::home(std::uint64_t address) const {
  return static_cast<std::size_t>((address * hash_multiplier) >> 32) & (capacity_ - 1);
}

void function_map::place(const slot& s) {
  std::size_t i = home(s.address);
  while (slots_[i].address != 0 && slots_[i].address != s.address) i = (i + 1) & (capacity_ - 1);
  if (slots_[i].address == 0) ++count_;
  slots_[i] = s;
}

bool function_map::grow() {
  const std::size_t old_capacity = capacity_;
  slot* old = slots_;
  const std::size_t capacity = old_capacity == 0 ? first_capacity : old_capacity * 2;
  auto* fresh = static_cast<slot*>(map_memory(capacity * sizeof(slot)));
  if (fresh == nullptr) return false;
  slots_ = fresh;
  capacity_ = capacity;
  count_ = 0;
  for (std::size_t i = 0; i < old_capacity; ++i)
    if (old[i].address != 0) place(old[i]);
  unmap_memory(old, old_capacity * sizeof(slot));
  return true;
}

bool function_map::insert(std::uint64_t address, flow_function function) {
  if ((count_ + 1) * 2 > capacity_ && !grow()) return false;
  place({address, function});
  return true;
}

bool function_map::find(std::uint64_t address, flow_function* out) const {
  if (capacity_ == 0) return false;
  for (std::size_t i = home(address); slots_[i].address != 0; i = (i + 1) & (capacity_ - 1)) {
    if (slots_[i].address != address) continue;
    *out = slots_[i].function;
    return true;
  }
  return false;
}

void function_map::clear() {
  unmap_memory(slots_, capacity_ * sizeof(slot));
  slots_ = nullptr;
  capacity_ = 0;
  count_ = 0;
}

}  // namespace kivrec
