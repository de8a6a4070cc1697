#pragma once

// The with-free blocks alive, counted as blocks. A block is made by an
// allocation ('a') and moved on by a realloc in place that found it ('r',
// which gives it the realloc's record number); it goes with a free ('f'
// naming it) or with the free id or reset id that drops it (the "freemem"
// rows of that record). The run's own with-free count is not this: kiv
// counts an in-place realloc that grows as one more allocation.
//
// The memory rows are read first and the "freemem" rows after them, so a
// block dropped by a free id leaves the count only then; the count at each
// image's peak is corrected by the drops up to the peak's record.

#include <cstdint>
#include <functional>
#include <vector>

namespace kivdb::report {

class block_count {
 public:
  // What the report keeps of a block: its place in the code (an index the
  // caller gives) and its size.
  struct block {
    std::uint32_t place = 0;
    std::uint64_t size = 0;
  };

  // Memory rows, in order. `image` is 1, 2, ...
  void made(std::size_t image, std::uint64_t rec, block b);
  void moved(std::size_t image, std::uint64_t from_rec, std::uint64_t rec, block b);
  void freed(std::size_t image, std::uint64_t rec);
  // The blocks of the image alive now.
  std::uint64_t alive(std::size_t image) const;

  // After the memory rows: the record of each image's peak, then every
  // "freemem" row of a free id or reset id.
  void set_peak(std::size_t image, std::uint64_t rec);
  void dropped(std::size_t image, std::uint64_t rec, std::uint64_t freed_by);
  // Blocks of the image that a free id or reset id dropped at or before
  // its peak's record.
  std::uint64_t dropped_before_peak(std::size_t image) const;

  // Every block alive at the end.
  void for_each(const std::function<void(const block&)>& each) const;

 private:
  struct slot {
    std::uint64_t id = 0;  // 0: empty
    block b;
  };
  static std::uint64_t id_of(std::size_t image, std::uint64_t rec);
  std::size_t find(std::uint64_t id) const;
  void insert(std::uint64_t id, block b);
  bool erase(std::uint64_t id);
  void grow();
  struct image_counts {
    std::uint64_t alive = 0;
    std::uint64_t peak_rec = 0;
    std::uint64_t dropped_before_peak = 0;
  };
  image_counts& counts(std::size_t image);

  // Open addressing with linear probing and backward-shift deletion: a
  // run can end with millions of live blocks.
  std::vector<slot> slots_;
  std::size_t used_ = 0;
  std::vector<image_counts> images_;
};

}  // namespace kivdb::report
