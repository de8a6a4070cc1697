#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string_view>
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

// Allocations of the last few records by record number, so that a free
// can find where the block it frees was made without another query.
class recent_allocations {
 public:
  explicit recent_allocations(std::uint64_t distance) : slots_(distance + 1) {}

  void add(std::uint64_t rec, std::int64_t location) { slots_[rec % slots_.size()] = {rec, location}; }
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

// Everything gathered in the pass over the memory rows.
class memory_scan {
 public:
  memory_scan(const report_settings& settings, std::uint64_t first_rec, std::uint64_t last_rec)
      : settings_(settings),
        first_(first_rec),
        last_(last_rec),
        memory_({"with free", "no free"}, first_rec, last_rec, settings.memory_buckets),
        recent_(settings.temporary_distance) {}

  // The SELECT whose rows add() takes, with the run id as its parameter.
  static const char* const sql;

  void add(const row_view& row);

  run_summary& summary() { return summary_; }
  series_table memory_series() { return memory_.finish(); }
  std::map<std::int64_t, location_figures>& allocations() { return allocations_; }
  std::map<std::int64_t, location_figures>& temporaries() { return temporaries_; }
  std::map<std::int64_t, malid_figures>& malids() { return malid_peaks_; }
  std::map<std::int64_t, series_reducer>& malid_series() { return malid_series_; }
  std::map<std::int64_t, series_reducer>& process_series() { return process_series_; }
  std::map<std::int64_t, std::int64_t>& process_peaks() { return process_peaks_; }
  size_histogram& sizes() { return sizes_; }

 private:
  std::uint64_t axis(std::uint64_t rec);
  void summarise(const row_view& row, std::uint64_t x);
  void count_allocation(std::string_view tag, std::uint64_t rec, std::int64_t location,
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
  run_summary summary_;
  series_reducer memory_;
  recent_allocations recent_;
  std::map<std::int64_t, location_figures> allocations_;
  std::map<std::int64_t, location_figures> temporaries_;
  std::map<std::int64_t, malid_figures> malid_peaks_;
  std::map<std::int64_t, series_reducer> malid_series_;
  std::map<std::int64_t, series_reducer> process_series_;
  std::map<std::int64_t, std::int64_t> process_peaks_;
  size_histogram sizes_;
};

}  // namespace kivdb::report
