#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "report/flame_tree.h"

namespace kivdb::report {

// Figures of one run: bytes are the run level's with-free counters
// ("global" group of the memory table) unless named otherwise; blocks are
// the with-free blocks alive (block_count.h).
struct run_summary {
  std::string run_id;
  std::string program;
  std::string host;
  std::string user;
  std::string start_time;
  std::string end_time;
  std::uint64_t processes = 0;
  std::uint64_t memory_records = 0;
  // Trace headers (process images) of the run.
  std::uint64_t headers = 0;
  // The highest with-free bytes in use, the blocks in use at that moment
  // and the first record (and its time) that reached it. Of a run of
  // several headers: the largest of the headers' own peaks, and that
  // header and its pid (an earlier header wins a tie). Headers run side by side,
  // and their rows' times are too coarse to add their counters up exactly
  // at each moment.
  std::uint64_t peak_bytes = 0;
  std::uint64_t peak_blocks = 0;
  std::uint64_t peak_record = 0;
  std::string peak_time;
  std::int64_t peak_pid = 0;
  std::uint64_t peak_image = 0;  // the header of the peak: 1, 2, ...
  // With-free bytes and blocks alive after the last memory record, and
  // no-free bytes then; of several headers, the sums of each header's
  // figures after its last memory record.
  std::uint64_t live_bytes_at_end = 0;
  std::uint64_t live_blocks_at_end = 0;
  std::uint64_t nofree_bytes_at_end = 0;
  // What makes the run less than whole ("header 2 (pid 4242): ..."): a
  // header whose trace was never closed, or whose tables stop short.
  // Empty for a whole run.
  std::vector<std::string> cut_short;
};

// One entry of a top list: its texts (the first is its name) and numbers,
// in the order of the list's column names.
struct top_row {
  std::vector<std::string> texts;
  std::vector<std::int64_t> numbers;
  // The entry's whole call stack, from the allocation site outwards, as
  // indices into the report's frames (report_data::frames); empty when its
  // place is not a stack. The page opens it under the entry.
  std::vector<std::uint32_t> stack = {};
};

// A row's stack, frame by frame.
inline std::vector<stack_frame> frames_of(const frame_table& frames, const top_row& row) {
  std::vector<stack_frame> out;
  out.reserve(row.stack.size());
  for (const std::uint32_t i : row.stack) out.push_back(frames[i]);
  return out;
}

// Number columns that identify rather than count (printed without digit
// grouping).
inline bool is_identifier_column(std::string_view name) { return name == "malid"; }

// A ranked list, already sorted, holding every entry; renderers show the
// first N and the page keeps the rest behind "show all".
struct top_list {
  std::string key;    // JSON key, e.g. "leaks_by_location"
  std::string title;  // heading for people
  std::vector<std::string> text_columns;
  std::vector<std::string> number_columns;
  std::vector<top_row> rows;
  // Set when the entries hold no answer (all of them fall into one
  // placeholder, such as a process's root call arc in a run without call
  // flow): what is missing and how to get it. Shown instead of the entries;
  // the JSON keeps both.
  std::string note = {};
};

// A series of points sharing one x axis (memory record number) with the
// time text of each point; values[c][i] belongs to x[i].
struct series_table {
  std::vector<std::string> names;
  std::vector<std::uint64_t> x;
  std::vector<std::string> time;
  std::vector<std::vector<std::int64_t>> values;

  std::size_t size() const { return x.size(); }
};

// A vertical line on the memory chart: a user marker or a process start
// or end, at a memory record number.
struct chart_marker {
  enum class kind { user, process_start, process_end };
  kind what = kind::user;
  std::uint64_t record = 0;
  std::string time;
  std::string text;
};

// One chart of the page: a title and its series (one line per column).
struct chart {
  std::string title;
  series_table series;
};

// Allocation sizes in power-of-two buckets: bucket i counts sizes s with
// 2^(i-1) < s <= 2^i (bucket 0 holds sizes 0 and 1).
struct size_histogram {
  std::vector<std::uint64_t> counts;
  std::vector<std::uint64_t> bytes;
};

struct report_data {
  run_summary summary;
  std::vector<top_list> lists;  // in the order of the terminal summary
  chart memory;                 // with-free and no-free bytes in use
  std::vector<chart_marker> markers;
  chart top_malids;              // one column per malloc id
  std::vector<chart> processes;  // one chart per process, when several
  size_histogram sizes;
  // The stacks of the run merged for the page's flame graph (built with
  // flame_tree_builder); empty when the run names no stacks.
  flame_graph flame;
  // Every frame of the lists' stacks, each once: a run's stacks share most
  // of their frames.
  frame_table frames;
};

}  // namespace kivdb::report
