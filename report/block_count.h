#pragma once

// The with-free blocks alive, counted as blocks. A block is made by an
// allocation ('a') or by a realloc in place that found its block ('r',
// which gives the block the realloc's record number); it ends with the
// "freemem" row naming its record number: a free ('f'), the realloc that
// moves it on, or the free id or reset id that drops it. The run's own
// with-free count is not this: kiv counts an in-place realloc that grows
// as one more allocation.
//
// The "freemem" rows are read first: which blocks end at all, and which a
// free id or reset id drops at each of its records. Then the memory rows
// count the blocks alive record by record, and tell at once whether a
// block they make lives to the end. Two bits per memory record.

#include <cstdint>
#include <vector>

namespace kivdb::report {

class block_count {
 public:
  // A "freemem" row of image n (1, 2, ...).
  void ended(std::size_t image, std::uint64_t block, std::uint64_t freed_by, bool by_id);

  // Memory rows, in order. made() and moved() return whether the block
  // they make is alive at the end.
  bool made(std::size_t image, std::uint64_t rec);
  bool moved(std::size_t image, std::uint64_t from_rec, std::uint64_t rec);
  void freed(std::size_t image);
  // A free id or reset id at record rec; the record numbers of the blocks
  // it drops are appended to `blocks` when it is given.
  void dropped(std::size_t image, std::uint64_t rec, std::vector<std::uint64_t>* blocks = nullptr);
  // The blocks of the image alive now.
  std::uint64_t alive(std::size_t image) const;

 private:
  struct drop {
    std::uint64_t freed_by;
    std::uint64_t block;
  };
  struct image_blocks {
    std::vector<bool> ends;  // by record number: a "freemem" row names it
    std::vector<bool> made;  // by record number: the record made a block
    std::vector<drop> drops;  // of free ids and reset ids, in record order
    std::size_t next_drop = 0;
    std::uint64_t alive = 0;
  };
  image_blocks& of(std::size_t image);
  static void set(std::vector<bool>& bits, std::uint64_t rec);
  static bool test(const std::vector<bool>& bits, std::uint64_t rec);

  std::vector<image_blocks> images_;
};

}  // namespace kivdb::report
