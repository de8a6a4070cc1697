#pragma once

// What each location holds at the peak of one process image: the blocks
// alive after the image's peak record, summed by the location that made
// them, in one pass over the memory rows. Every location keeps its figures
// now and at the last peak; a new peak copies only the locations that
// changed since the one before, so the pass costs a few operations per row
// however often the peak rises. A block that is freed later is kept by its
// record number until it is (its location and size are what its free
// takes off); a block alive at the end is never looked up again.
// Most blocks are freed within a few thousand records: they are kept in a
// ring indexed by record number, which stays in the cache. The ring hands
// the others on in record order to a sorted list, searched from where the
// last search ended: long-lived blocks tend to be freed together (a table
// and its entries), so that search mostly ends a few entries away.

#include <cstdint>
#include <map>
#include <utility>
#include <vector>

#include "report/hash_index.h"

namespace kivdb::report {

struct held_figures {
  std::int64_t bytes = 0;
  std::int64_t blocks = 0;

  friend bool operator==(const held_figures&, const held_figures&) = default;
};

class peak_holdings {
 public:
  // A block made at record `rec` by `location`, of `size` bytes; `lasting`
  // when it is alive at the end.
  void made(std::uint64_t rec, std::int64_t location, std::int64_t size, bool lasting);
  // The block made at record `rec` ends; nothing when no block was made
  // there.
  void ended(std::uint64_t rec);
  // The figures now are the image's peak.
  void at_peak();
  // The locations' figures at the last peak, by location key (those that
  // held nothing left out); then starts afresh for the next image.
  std::map<std::int64_t, held_figures> finish();

 private:
  struct place {
    std::int64_t location;
    held_figures now;
    held_figures peak;
    std::uint64_t changed_in = 0;  // the peak interval it last changed in
  };
  // A block that ends later: where it was made and its size. Ended blocks
  // of the sorted list keep their place in it, marked.
  struct pending_block {
    std::uint64_t rec;
    std::uint32_t place;
    bool ended;
    std::int64_t size;
  };

  std::uint32_t place_of(std::int64_t location);
  void change(std::uint32_t p, std::int64_t bytes, std::int64_t blocks);
  void take_off(const pending_block& block) { change(block.place, -block.size, -1); }
  // The recent pending blocks, at their record number modulo the ring's size.
  void keep_recent(const pending_block& block);
  // The older ones, appended in record order.
  void keep_older(const pending_block& block);
  void end_older(std::uint64_t rec);
  // Where the sorted list holds `rec`, or its size.
  std::size_t find_older(std::uint64_t rec) const;
  // The range of the list that holds `rec` if any does, galloping out from
  // the last search's end.
  std::pair<std::size_t, std::size_t> bracket(std::uint64_t rec) const;

  std::vector<place> places_;
  hash_index place_index_;
  std::int64_t last_location_ = 0;
  std::uint32_t last_place_ = hash_index::none;
  std::vector<std::uint32_t> changed_;
  std::uint64_t interval_ = 1;
  std::vector<pending_block> ring_;
  std::uint64_t swept_ = 0;  // blocks up to this record have left the ring
  std::vector<pending_block> older_;
  std::size_t older_ended_ = 0;
  mutable std::size_t finger_ = 0;
};

}  // namespace kivdb::report
