#pragma once

#include <cstddef>
#include <cstdint>

namespace kivrec {

// What the recorder remembers of a live block: the malloc id and colour it
// was recorded under, so that its free names the same id and colour.
struct block_info {
  std::uint16_t id = 0;
  std::uint8_t color = 0;
};

// Live blocks by address: an open-addressing table (linear probing,
// deletion by backward shift) in memory mapped straight from the system,
// so that it never goes through the program's allocator.
class block_table {
 public:
  constexpr block_table() = default;
  block_table(const block_table&) = delete;
  block_table& operator=(const block_table&) = delete;

  // Stores or replaces the block at `address` (never 0). False when memory
  // for the table could not be mapped.
  bool insert(std::uint64_t address, block_info info);
  // Removes the block and gives what was stored; false when unknown.
  bool remove(std::uint64_t address, block_info* info);
  bool find(std::uint64_t address, block_info* info) const;
  std::size_t size() const { return count_; }
  // Forgets every block and gives the memory back.
  void clear();

 private:
  struct slot {
    std::uint64_t address;  // 0: empty
    block_info info;
  };
  static constexpr std::size_t first_capacity = 1 << 16;

  std::size_t home(std::uint64_t address) const;
  bool grow();
  void place(std::uint64_t address, block_info info);

  slot* slots_ = nullptr;
  std::size_t capacity_ = 0;  // a power of two
  std::size_t count_ = 0;
};

}  // namespace kivrec
