#pragma once

#include <cstdint>
#include <algorithm>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "db/database.h"
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

// A key that holds within one trace header only (location keys, malloc
// ids, process ids): the header's pid and the key.
using header_key = std::pair<std::int64_t, std::int64_t>;

// A malloc or process id as kiv wrote it: the database holds these 32-bit
// unsigned ids as their two's complement.
inline std::uint32_t id_number(std::int64_t stored) { return static_cast<std::uint32_t>(stored); }

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

// Everything gathered in the pass over the memory rows. A run converted
// from several trace headers (one per process image) holds their rows one
// header after the other, each with its own pid and with counters and
// record numbers starting afresh. Figures at the end add up the headers'
// last rows; the peak is the largest of the headers' own peaks. The
// memory series shows the headers one after another on the record axis,
// each header's values added to what the headers before it held at their
// end, so that its last point is the memory alive at the end.
class memory_scan {
 public:
  // Points of the run's series lie on an axis from first_x to last_x: the
  // headers' record numbers one after another.
  memory_scan(const report_settings& settings, std::uint64_t first_x, std::uint64_t last_x)
      : settings_(settings),
        first_(first_x),
        last_(last_x),
        memory_({"with free", "no free"}, first_x, last_x, settings.memory_buckets),
        recent_(settings.temporary_distance) {}

  // The SELECT whose rows add() takes, with the run id as its parameter.
  static const char* const sql;

  void add(const row_view& row);

  // The summary's memory figures over every header seen.
  run_summary summary() const;
  series_table memory_series() { return memory_.finish(); }
  std::map<header_key, location_figures>& allocations() { return allocations_; }
  std::map<header_key, location_figures>& temporaries() { return temporaries_; }
  std::map<header_key, malid_figures>& malids() { return malid_peaks_; }
  std::map<header_key, series_reducer>& malid_series() { return malid_series_; }
  std::map<header_key, series_reducer>& process_series() { return process_series_; }
  std::map<header_key, std::int64_t>& process_peaks() { return process_peaks_; }
  size_histogram& sizes() { return sizes_; }
  // Where each header of `pid` starts on the axis, in the order of the rows.
  const std::vector<std::uint64_t>& header_offsets(std::int64_t pid) const;

 private:
  // The with-free and no-free figures of one header's latest row, and its
  // peak so far.
  struct header_figures {
    std::uint64_t live_bytes = 0;
    std::uint64_t live_blocks = 0;
    std::uint64_t nofree_bytes = 0;
    std::uint64_t peak_bytes = 0;
    std::uint64_t peak_blocks = 0;
    std::uint64_t peak_record = 0;
    std::string peak_time;
    std::int64_t pid = 0;
    bool seen = false;  // whether the header had a row yet
  };

  void begin_header(std::int64_t pid, std::uint64_t rec);
  std::uint64_t axis(std::int64_t pid, std::uint64_t rec);
  void summarise(const row_view& row, std::uint64_t x);
  void count_allocation(std::string_view tag, std::uint64_t rec, header_key location,
                        std::int64_t size);
  void count_temporary(std::uint64_t rec, std::uint64_t freed_rec, std::int64_t size);
  void follow_malid(const row_view& row, std::uint64_t x);
  void follow_process(const row_view& row, std::uint64_t x);

  const report_settings& settings_;
  std::uint64_t first_;
  std::uint64_t last_;
  // Record numbers start again in a later header of the same run; the
  // axis then goes on from where the previous header ended.
  std::uint64_t offset_ = 0;
  std::uint64_t previous_rec_ = 0;
  std::int64_t pid_ = 0;
  std::uint64_t memory_records_ = 0;
  std::uint64_t headers_ = 0;
  header_figures current_;
  // Sums of the finished headers' last rows, and the largest of their peaks.
  header_figures before_;
  header_figures best_peak_;
  std::map<std::int64_t, std::vector<std::uint64_t>> offsets_;
  series_reducer memory_;
  recent_allocations recent_;
  std::map<header_key, location_figures> allocations_;
  std::map<header_key, location_figures> temporaries_;
  std::map<header_key, malid_figures> malid_peaks_;
  std::map<header_key, series_reducer> malid_series_;
  std::map<header_key, series_reducer> process_series_;
  std::map<header_key, std::int64_t> process_peaks_;
  size_histogram sizes_;
};

}  // namespace kivdb::report
