#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <iostream>
#include <memory>
#include <type_traits>
#include <utility>
#include <vector>

#include "header/kiv_type.h"

// The live blocks of one malloc id, keyed by address. Rec is a pointer to an
// allocation record with at least sequence, size, tot_size, color and
// location_text; the map owns the records it holds and deletes them when they
// leave it through clear_all_mem or when the map is destroyed.
//
// A trace can hold millions of live blocks, and every allocation and free
// looks one up, so the map is an open-addressing hash table (linear probing,
// backward-shift deletion): 16 bytes per slot, no node allocation per block.
// The only walk in address order, clear_all_mem, sorts the slots once.
template <typename Rec>
class KivMem {
  static_assert(std::is_pointer_v<Rec>, "KivMem holds pointers to allocation records");

 public:
  using record_type = std::remove_pointer_t<Rec>;

  KivMem() = default;
  KivMem(const KivMem&) = delete;
  KivMem& operator=(const KivMem&) = delete;
  ~KivMem() { release_all(); }

  std::size_t size() const { return count_; }
  // Slots allocated (for measuring the per-block overhead).
  std::size_t capacity() const { return capacity_; }

  // Stores rec under addr and takes ownership of it. When addr holds a block
  // already, reports the stored block on standard error, keeps it, and deletes
  // rec: the refused record would otherwise be owned by nobody. A null rec is
  // not stored. Returns whether rec was stored.
  bool add_memory(long long addr, Rec rec) {
    if (rec == nullptr) return false;
    if (Rec stored = find(addr)) {
      std::cerr << " addr: " << addr << " already in DB!!!" << " rec: " << stored->sequence
                << " size: " << stored->size << " hashlock: " << stored->location_text << '\n';
      delete rec;
      return false;
    }
    if ((count_ + 1) * max_load_den > capacity_ * max_load_num) grow();
    place(addr, rec);
    ++count_;
    return true;
  }

  // The block stored under addr, or null.
  Rec find(long long addr) const {
    if (count_ == 0) return nullptr;
    for (std::size_t i = home(addr);; i = next(i)) {
      const slot& s = slots_[i];
      if (s.rec == nullptr) return nullptr;
      if (s.addr == addr) return s.rec;
    }
  }

  // Removes the entry of addr without deleting its record, which is
  // returned (null, with a message on standard error, when there is none).
  Rec del_memory(long long addr) {
    const std::size_t i = locate(addr);
    if (i == npos) {
      std::cerr << " addr: " << addr << " is not in DB " << '\n';
      return nullptr;
    }
    Rec rec = slots_[i].rec;
    erase_at(i);
    --count_;
    return rec;
  }

  // Drops every block in ascending address order: write_freed(block,
  // freeing_nr, tag) writes the block's "freemem" row, then the block is
  // deleted. Sums size and tot_size per colour for colours below nr_colors
  // (blocks of other colours are dropped but not summed per colour) and in
  // total; with verbose the sums are reported on standard output.
  template <typename WriteFreed>
  void clear_all_mem(int nr_colors, bool verbose, kiv_type tag, unsigned long long freeing_nr,
                     WriteFreed&& write_freed) {
    sums total;
    std::vector<sums> per_colour;
    slot* const first = slots_.get();
    slot* const last = compact();
    std::sort(first, last, [](const slot& a, const slot& b) { return a.addr < b.addr; });
    for (slot* s = first; s != last; ++s) {
      record_type* rec = s->rec;
      add_to_colour(per_colour, nr_colors, static_cast<long long>(rec->color), rec->size, rec->tot_size);
      write_freed(*rec, freeing_nr, tag);
      total.size += rec->size;
      total.tot_size += rec->tot_size;
      s->rec = nullptr;
      --count_;
      delete rec;
    }
    reset_table();
    if (verbose) report(total, per_colour, nr_colors);
  }

 private:
  struct slot {
    long long addr;
    Rec rec;
  };
  struct sums {
    unsigned long long size = 0;
    unsigned long long tot_size = 0;
  };

  static constexpr std::size_t npos = static_cast<std::size_t>(-1);
  static constexpr std::size_t initial_capacity = 16;
  // Grow beyond three quarters full: short probe runs, 21 to 43 bytes per block.
  static constexpr std::size_t max_load_num = 3;
  static constexpr std::size_t max_load_den = 4;
  // Fibonacci hashing: addresses are aligned, so their low bits carry
  // nothing; multiplying spreads the high bits that index the table.
  static constexpr std::uint64_t hash_mult = 0x9E3779B97F4A7C15ull;

  std::size_t home(long long addr) const {
    return static_cast<std::size_t>((static_cast<std::uint64_t>(addr) * hash_mult) >> shift_);
  }
  std::size_t next(std::size_t i) const { return (i + 1) & (capacity_ - 1); }

  std::size_t locate(long long addr) const {
    if (count_ == 0) return npos;
    for (std::size_t i = home(addr);; i = next(i)) {
      if (slots_[i].rec == nullptr) return npos;
      if (slots_[i].addr == addr) return i;
    }
  }

  void place(long long addr, Rec rec) {
    std::size_t i = home(addr);
    while (slots_[i].rec != nullptr) i = next(i);
    slots_[i] = slot{addr, rec};
  }

  void grow() {
    const std::size_t new_capacity = capacity_ == 0 ? initial_capacity : capacity_ * 2;
    std::unique_ptr<slot[]> old = std::exchange(slots_, std::make_unique<slot[]>(new_capacity));
    const std::size_t old_capacity = std::exchange(capacity_, new_capacity);
    shift_ = 64 - static_cast<unsigned>(std::countr_zero(new_capacity));
    for (std::size_t i = 0; i < old_capacity; ++i) {
      if (old[i].rec != nullptr) place(old[i].addr, old[i].rec);
    }
  }

  // Backward-shift deletion: entries after the hole that may live there move
  // back, so lookups never need tombstones.
  void erase_at(std::size_t hole) {
    for (std::size_t j = next(hole);; j = next(j)) {
      if (slots_[j].rec == nullptr) break;
      const std::size_t h = home(slots_[j].addr);
      const bool stays = hole <= j ? (hole < h && h <= j) : (hole < h || h <= j);
      if (stays) continue;
      slots_[hole] = slots_[j];
      hole = j;
    }
    slots_[hole].rec = nullptr;
  }

  // Moves the occupied slots to the front of the table; returns their end.
  slot* compact() {
    slot* out = slots_.get();
    for (std::size_t i = 0; i < capacity_; ++i) {
      if (slots_[i].rec != nullptr) *out++ = slots_[i];
    }
    return out;
  }

  static void add_to_colour(std::vector<sums>& per_colour, int nr_colors, long long color, unsigned long long size,
                            unsigned long long tot_size) {
    if (color < 0 || color >= nr_colors) return;
    const auto c = static_cast<std::size_t>(color);
    if (c >= per_colour.size()) per_colour.resize(c + 1);
    per_colour[c].size += size;
    per_colour[c].tot_size += tot_size;
  }

  // Colours without a block have no entry in per_colour and report zeros.
  static void report(const sums& total, const std::vector<sums>& per_colour, int nr_colors) {
    std::cout << " >clear_all_mem()" << '\n';
    std::cout << " >size     " << total.size << '\n';
    std::cout << " >tot_size " << total.tot_size << '\n';
    for (int c = 0; c < nr_colors; ++c) {
      const auto i = static_cast<std::size_t>(c);
      const sums s = i < per_colour.size() ? per_colour[i] : sums{};
      std::cout << " >> " << c << " tot_size " << s.tot_size << " size     " << s.size << '\n';
    }
  }

  void reset_table() {
    slots_.reset();
    capacity_ = 0;
    count_ = 0;
    shift_ = 64;
  }

  void release_all() {
    for (std::size_t i = 0; i < capacity_; ++i) delete slots_[i].rec;
    reset_table();
  }

  std::unique_ptr<slot[]> slots_;
  std::size_t capacity_ = 0;
  std::size_t count_ = 0;
  unsigned shift_ = 64;
};
