#pragma once

#include <atomic>
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
  // Starts loading the slot where `address` lives or would live, so that an
  // insert or remove a little later finds it in the cache. Needs no lock:
  // it reads a copy of the table's place and size that every change keeps
  // up to date, and a prefetch never faults, even on a stale copy.
  void prefetch(std::uint64_t address) const {
    const std::uint64_t* slots = hint_slots_.load(std::memory_order_relaxed);
    const std::size_t capacity = hint_capacity_.load(std::memory_order_relaxed);
    if (slots != nullptr && capacity != 0) __builtin_prefetch(slots + home_in(address, capacity), 1);
  }
  // Forgets every block and gives the memory back.
  void clear();

 private:
  static constexpr std::size_t first_capacity = 1 << 16;

  static std::size_t home_in(std::uint64_t address, std::size_t capacity);
  std::size_t home(std::uint64_t address) const { return home_in(address, capacity_); }
  void publish();
  bool grow();
  void place(std::uint64_t slot_value);
  std::size_t locate(std::uint64_t address) const;  // capacity_ when absent

  std::uint64_t* slots_ = nullptr;  // 0: empty
  std::size_t capacity_ = 0;        // a power of two
  std::size_t count_ = 0;
  std::atomic<const std::uint64_t*> hint_slots_{nullptr};
  std::atomic<std::size_t> hint_capacity_{0};
};

}  // namespace kivrec
