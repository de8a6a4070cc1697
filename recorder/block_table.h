#pragma once

#include <cstddef>
#include <cstdint>

namespace kivrec {

// What the recorder remembers of a live block: the malloc id and colour it
// was recorded under, so that its free names the same id and colour.
struct block_info {
  std::uint16_t id = 0;   // below block_table::id_limit
  std::uint8_t color = 0;  // below block_table::color_limit
};

// Live blocks by address: an open-addressing table (linear probing,
// deletion by backward shift) in memory mapped straight from the system,
// so that it never goes through the program's allocator. A slot is one
// 64-bit word (address, id and colour packed), and blocks of one page land
// in one neighbourhood of slots: blocks allocated and freed close together
// in time usually share a page, so their slots share cache lines.
class block_table {
 public:
  static constexpr unsigned address_bits = 48;  // user-space addresses of x86-64 and AArch64
  static constexpr unsigned id_bits = 13;
  static constexpr unsigned color_bits = 3;
  static constexpr std::uint32_t id_limit = 1u << id_bits;
  static constexpr std::uint32_t color_limit = 1u << color_bits;

  constexpr block_table() = default;
  block_table(const block_table&) = delete;
  block_table& operator=(const block_table&) = delete;

  // Stores or replaces the block at `address` (never 0). False when memory
  // for the table could not be mapped or the address has more than
  // address_bits bits.
  bool insert(std::uint64_t address, block_info info);
  // Removes the block and gives what was stored; false when unknown.
  bool remove(std::uint64_t address, block_info* info);
  bool find(std::uint64_t address, block_info* info) const;
  std::size_t size() const { return count_; }
  // Forgets every block and gives the memory back.
  void clear();

 private:
  static constexpr std::size_t first_capacity = 1 << 16;

  std::size_t home(std::uint64_t address) const;
  bool grow();
  void place(std::uint64_t slot_value);
  std::size_t locate(std::uint64_t address) const;  // capacity_ when absent

  std::uint64_t* slots_ = nullptr;  // 0: empty
  std::size_t capacity_ = 0;        // a power of two
  std::size_t count_ = 0;
};

}  // namespace kivrec
