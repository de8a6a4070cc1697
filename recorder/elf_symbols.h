#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace kivrec {

// The function symbols of one ELF object, read from its file mapped into
// memory (the full symbol table when the file has one, else the dynamic
// symbols). Lookups scan the table without allocating.
class elf_symbols {
 public:
  constexpr elf_symbols() = default;
  elf_symbols(const elf_symbols&) = delete;
  elf_symbols& operator=(const elf_symbols&) = delete;

  // Maps the file at `path`; false (and no symbols) when it is not a
  // readable 64-bit ELF file.
  bool load(const char* path);
  void unload();

  // The function whose address range holds `address` (an address as the
  // object's file states it, i.e. with the load bias taken off), and the
  // distance from its start.
  bool find_function(std::uint64_t address, std::string_view* name, std::uint64_t* offset) const;

  // Symbol number `index` (below symbol_count()) when it is a defined
  // function: its address and name.
  std::size_t symbol_count() const { return symbol_count_; }
  bool function_symbol(std::size_t index, std::uint64_t* address, std::string_view* name) const;

 private:
  bool select_tables();

  const std::uint8_t* file_ = nullptr;
  std::size_t file_size_ = 0;
  const void* symbols_ = nullptr;
  std::size_t symbol_count_ = 0;
  const char* strings_ = nullptr;
  std::size_t strings_size_ = 0;
};

}  // namespace kivrec
