#pragma once

#include <cstdint>
#include <algorithm>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "db/database.h"
#include "report/block_count.h"
#include "report/peak_holdings.h"
#include "report/report_model.h"
#include "report/report_settings.h"
#include "report/series_reducer.h"

namespace kivdb::report {

struct location_figures {
  std::int64_t count = 0;
  std::int64_t bytes = 0;
};

struct malid_figures {
  std::int64_t peak_in_use = 0;
  std::int64_t peak_wf = 0;
};

// A key that holds within one process image only (location keys, malloc
// ids, process ids): the image (1, 2, ...) and the key.
using image_key = std::pair<std::int64_t, std::int64_t>;

// A malloc or process id as kiv wrote it: the database holds these 32-bit
// unsigned ids as their two's complement.
inline std::uint32_t id_number(std::int64_t stored) { return static_cast<std::uint32_t>(stored); }

// The columns of a memory row the report uses (memory_columns() names
// them in this order).
struct memory_row {
  std::size_t image = 0;
  std::int64_t pid = 0;
  std::string_view tag;
  std::uint64_t rec = 0;
  std::string_view time;
  std::int64_t process = 0;
  std::int64_t arc = 0;
  std::int64_t location = 0;
  std::int64_t malid = 0;
  std::int64_t size = 0;
  std::int64_t new_size = 0;
  std::uint64_t other_rec = 0;  // 0 when NULL
  std::uint64_t global_wf = 0;
  std::uint64_t global_nf = 0;
  std::int64_t process_wf = 0;
  std::int64_t process_in_use = 0;
  std::int64_t malid_wf = 0;
  std::int64_t malid_in_use = 0;
};

// Where a live block was made: its image, location and call arc.
struct block_place {
  std::int64_t image = 0;
  std::int64_t location = 0;
  std::int64_t process = 0;
  std::int64_t arc = 0;
  auto operator<=>(const block_place&) const = default;
};

// Allocations of the last few records by record number, so that a free
// can find where the block it frees was made without another query.
class recent_allocations {
 public:
  explicit recent_allocations(std::uint64_t distance) : slots_(distance + 1) {}

  void add(std::uint64_t rec, std::int64_t location) { slots_[rec % slots_.size()] = {rec, location}; }
  void clear() { std::fill(slots_.begin(), slots_.end(), slot{}); }
  std::optional<std::int64_t> find(std::uint64_t rec) const {
    const auto& slot = slots_[rec % slots_.size()];
    if (slot.rec != rec) return std::nullopt;
    return slot.location;
  }

 private:
  struct slot {
    std::uint64_t rec = 0;
    std::int64_t location = 0;
  };
  std::vector<slot> slots_;
};

// Everything gathered in the pass over the "freemem" rows, then the memory
// rows. The images of a run (one per trace header) come one after the
// other, each with counters and record numbers starting afresh. Figures at
// the end add up the images' last rows; the peak is the largest of the
// images' own peaks. The memory series shows the images one after another
// on the record axis, each image's values added to what the images before
// it held at their end, so that its last point is the memory alive at the
// end.
class memory_scan {
 public:
  // offsets[n - 1]: where image n starts on the record axis; the axis runs
  // from first_x to last_x.
  memory_scan(const report_settings& settings, std::vector<std::uint64_t> offsets, std::uint64_t first_x,
              std::uint64_t last_x);

  // The columns of the memory rows add() takes, and of the freemem rows
  // add_freemem() takes, in this order. The freemem rows come first.
  static std::span<const std::string_view> memory_columns();
  static std::span<const std::string_view> freemem_columns();

  static memory_row memory_row_of(const row_view& row);
  static memory_row memory_row_of(const field* fields);
  void add(const memory_row& row);
  void add_freemem(const row_view& row);

  // The summary's memory figures over every image seen (call after the
  // freemem rows).
  run_summary summary() const;
  series_table memory_series() { return memory_.finish(); }
  std::map<image_key, location_figures>& allocations() { return allocations_; }
  std::map<image_key, location_figures>& temporaries() { return temporaries_; }
  std::map<image_key, malid_figures> malids() const;
  std::map<image_key, series_reducer>& malid_series() { return malid_series_; }
  std::map<image_key, series_reducer>& process_series() { return process_series_; }
  std::map<image_key, std::int64_t> process_peaks() const;
  size_histogram& sizes() { return sizes_; }
  // Where image n starts on the axis.
  std::uint64_t offset(std::size_t image) const;
  // Bytes and blocks alive at the end, by the place that made them.
  std::vector<std::pair<block_place, location_figures>> live_by_place() const;
  // Bytes and blocks each location held at its image's peak (the blocks
  // alive after the peak's record); call after the last memory row.
  std::map<image_key, location_figures> held_at_peak();
  // Whether any memory row was made under a call arc other than a
  // process's root (arc 0): whether the run has call flow at all.
  bool has_call_arcs() const { return call_arcs_; }

 private:
  // The with-free and no-free figures of one image's latest row, and its
  // peak so far.
  struct image_figures {
    std::uint64_t live_bytes = 0;
    std::uint64_t nofree_bytes = 0;
    std::uint64_t peak_bytes = 0;
    std::uint64_t peak_blocks = 0;
    std::uint64_t peak_record = 0;
    std::string peak_time;
    std::int64_t pid = 0;
    std::size_t image = 0;
    bool seen = false;  // whether the image had a row yet
  };

  // The figures kept of one malloc id or process of an image.
  struct followed {
    std::int64_t peak_in_use = 0;
    std::int64_t peak_wf = 0;
    series_reducer* series = nullptr;
  };

  void begin_image(std::size_t image, std::int64_t pid);
  void summarise(const memory_row& row, std::uint64_t x);
  void count_blocks(const memory_row& row);
  void count_allocation(const memory_row& row);
  void count_temporary(const memory_row& row);
  void follow_malid(const memory_row& row, std::uint64_t x);
  void follow_process(const memory_row& row, std::uint64_t x);
  void survives(const memory_row& row);
  void finish_holdings();
  followed& malid_of(image_key id);
  followed& process_of(image_key id);

  const report_settings& settings_;
  std::vector<std::uint64_t> offsets_;
  std::uint64_t first_;
  std::uint64_t last_;
  std::size_t image_ = 0;
  std::uint64_t memory_records_ = 0;
  image_figures current_;
  // Sums of the finished images' last rows, and the largest of their peaks.
  image_figures before_;
  std::vector<image_figures> finished_;
  series_reducer memory_;
  recent_allocations recent_;
  block_count blocks_;
  // What the current image's locations hold, now and at its peak; the
  // finished images' figures at their peaks.
  peak_holdings holdings_;
  std::map<image_key, location_figures> held_at_peak_;
  std::vector<std::uint64_t> dropped_;
  std::map<block_place, location_figures> live_;
  // Rows of one process, malloc id and location come in runs: the last
  // entry of each is kept at hand.
  image_key last_allocation_key_{-1, 0};
  location_figures* last_allocation_ = nullptr;
  std::map<image_key, followed> malid_state_;
  std::map<image_key, followed> process_state_;
  image_key last_malid_key_{-1, 0};
  followed* last_malid_ = nullptr;
  image_key last_process_key_{-1, 0};
  followed* last_process_ = nullptr;
  bool call_arcs_ = false;
  std::map<image_key, location_figures> allocations_;
  std::map<image_key, location_figures> temporaries_;
  std::map<image_key, series_reducer> malid_series_;
  std::map<image_key, series_reducer> process_series_;
  size_histogram sizes_;
};

}  // namespace kivdb::report
