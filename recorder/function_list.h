#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "recorder/elf_symbols.h"

namespace kivrec {

// The functions of one object numbered for the call-flow records: every
// function symbol by ascending address, numbered from 1 (0 is the
// object's "top level" in the converter). The converter builds a
// process's function table once, so an object's functions are all
// announced at once, before the first flow record that enters it. Kept in
// memory mapped from the system.
class function_list {
 public:
  constexpr function_list() = default;
  function_list(const function_list&) = delete;
  function_list& operator=(const function_list&) = delete;

  // Collects the functions of `symbols`; false when there are none or no
  // memory for them.
  bool build(const elf_symbols& symbols);
  std::size_t size() const { return count_; }
  // Number (from 1) of the function starting at or holding `address` (an
  // address as the file states it); 0 when it is before every function.
  std::int32_t number_of(std::uint64_t address) const;
  std::string_view name(std::int32_t number) const;

 private:
  struct entry {
    std::uint64_t address;
    std::string_view name;
  };
  entry* entries_ = nullptr;
  std::size_t count_ = 0;
};

}  // namespace kivrec
