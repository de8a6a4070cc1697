#include "recorder/function_list.h"

#include <algorithm>

#include "recorder/system_memory.h"

namespace kivrec {

bool function_list::build(const elf_symbols& symbols) {
  std::size_t n = 0;
  std::uint64_t address = 0;
  std::string_view name;
  for (std::size_t i = 0; i < symbols.symbol_count(); ++i) n += symbols.function_symbol(i, &address, &name);
  if (n == 0) return false;
  entries_ = static_cast<entry*>(map_memory(n * sizeof(entry)));
  if (entries_ == nullptr) return false;
  for (std::size_t i = 0; i < symbols.symbol_count(); ++i)
    if (symbols.function_symbol(i, &address, &name)) entries_[count_++] = {address, name};
  // In-place sort; aliases (one address, several names) keep one name.
  std::sort(entries_, entries_ + count_, [](const entry& a, const entry& b) { return a.address < b.address; });
  count_ = static_cast<std::size_t>(
      std::unique(entries_, entries_ + count_, [](const entry& a, const entry& b) { return a.address == b.address; }) -
      entries_);
  return true;
}

std::int32_t function_list::number_of(std::uint64_t address) const {
  const entry* begin = entries_;
  const entry* after = std::upper_bound(begin, begin + count_, address,
                                        [](std::uint64_t a, const entry& e) { return a < e.address; });
  return static_cast<std::int32_t>(after - begin);
}

std::string_view function_list::name(std::int32_t number) const {
  if (number < 1 || static_cast<std::size_t>(number) > count_) return {};
  return entries_[number - 1].name;
}

}  // namespace kivrec
