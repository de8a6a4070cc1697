#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "report/report_model.h"

namespace kivdb::report {

// Thins a long series for drawing without losing its extremes. The x range
// is cut into buckets of equal width; of each bucket it keeps the first and
// the last point and, for every column, the points holding its minimum and
// its maximum (each a real point of the input, in x order). A series of n
// columns thus keeps at most 2n + 2 points per bucket, and a peak or a dip
// survives whatever the input's length.
class series_reducer {
 public:
  // Points are expected with x in [first_x, last_x], ascending; `buckets`
  // is the number of buckets the range is cut into (at least 1). Without
  // keep_time the kept points carry no time text (series drawn against
  // another series' times need none, and keeping many series stays small).
  series_reducer(std::vector<std::string> names, std::uint64_t first_x, std::uint64_t last_x,
                 std::size_t buckets, bool keep_time = true);

  void add(std::uint64_t x, std::string_view time, std::span<const std::int64_t> values);
  // Closes the last bucket and hands the kept points over.
  series_table finish();

 private:
  struct point {
    std::uint64_t x = 0;
    std::string time;
    std::vector<std::int64_t> values;
  };

  static void take(point& slot, std::uint64_t x, std::string_view time,
                   std::span<const std::int64_t> values);
  void flush_bucket();

  // Slots of the open bucket: first, last, then minimum and maximum of
  // each column. Their storage is reused from bucket to bucket.
  static constexpr std::size_t first_slot = 0;
  static constexpr std::size_t last_slot = 1;
  static constexpr std::size_t column_slots = 2;
  std::size_t min_slot(std::size_t column) const { return column_slots + 2 * column; }
  std::size_t max_slot(std::size_t column) const { return column_slots + 2 * column + 1; }

  series_table out_;
  std::uint64_t first_x_;
  std::uint64_t width_;
  std::uint64_t bucket_ = 0;
  bool open_ = false;
  bool keep_time_;
  std::vector<point> slots_;
};

}  // namespace kivdb::report

namespace kivdb::report {

// Puts one-column series that change at different x (such as each malloc
// id's bytes in use, which move only at that id's records) onto one x
// axis: the union of their x, each series holding its last value between
// its own points and 0 before its first.
series_table merge_held(const std::vector<series_table>& parts);

}  // namespace kivdb::report
