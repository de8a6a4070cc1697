#pragma once

#include <cstddef>
#include <cstdint>

namespace kivdb::report {

// Thresholds and sizes of a report.
struct report_settings {
  // A block freed at most this many memory records after it was made is
  // a temporary allocation.
  std::uint64_t temporary_distance = 10;
  // Buckets of the memory chart, and of each malloc id's and process's
  // series (at most 2 * columns + 2 points per bucket are kept).
  std::size_t memory_buckets = 1000;
  std::size_t detail_buckets = 400;
  // Malloc ids drawn in the chart of the top ids; process charts drawn.
  std::size_t chart_malids = 6;
  std::size_t chart_processes = 12;
};

}  // namespace kivdb::report
