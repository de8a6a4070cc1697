#pragma once

#include <cstddef>
#include <cstdint>

namespace kivrec {

// A function as the call-flow records name it.
struct flow_function {
  std::uint32_t object = 0;
  std::int32_t number = 0;
};

// Function entry addresses already resolved to their object and number:
// an open-addressing table (linear probing, no removal) in memory mapped
// from the system.
class function_map {
 public:
  constexpr function_map() = default;
  function_map(const function_map&) = delete;
  function_map& operator=(const function_map&) = delete;

  bool find(std::uint64_t address, flow_function* out) const;
  // False when no memory for the table could be mapped.
  bool insert(std::uint64_t address, flow_function function);
  void clear();

 private:
  struct slot {
    std::uint64_t address;  // 0: empty
    flow_function function;
  };
  static constexpr std::size_t first_capacity = 1 << 12;

  std::size_t home(std::uint64_t address) const;
  bool grow();
  void place(const slot& s);

  slot* slots_ = nullptr;
  std::size_t capacity_ = 0;
  std::size_t count_ = 0;
};

}  // namespace kivrec
