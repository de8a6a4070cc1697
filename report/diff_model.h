#pragma once

// Two runs compared: a baseline and a new run, each as its report model
// gives it. Every figure of the summary side by side with its change, and
// every top list's entries matched by their texts, the ones that grew and
// the ones that shrank ranked by how much.

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "report/report_model.h"

namespace kivdb::report {

// A number of the summary that a change can be measured on. Its key is the
// JSON key of the report and the metric name of a threshold.
struct summary_figure {
  enum class unit { bytes, blocks, count };
  std::string_view key;
  unit measure;
  std::uint64_t run_summary::*field;
};

inline constexpr std::array<summary_figure, 8> summary_figures = {{
    {"processes", summary_figure::unit::count, &run_summary::processes},
    {"headers", summary_figure::unit::count, &run_summary::headers},
    {"memory_records", summary_figure::unit::count, &run_summary::memory_records},
    {"peak_bytes", summary_figure::unit::bytes, &run_summary::peak_bytes},
    {"peak_blocks", summary_figure::unit::blocks, &run_summary::peak_blocks},
    {"live_bytes_at_end", summary_figure::unit::bytes, &run_summary::live_bytes_at_end},
    {"live_blocks_at_end", summary_figure::unit::blocks, &run_summary::live_blocks_at_end},
    {"nofree_bytes_at_end", summary_figure::unit::bytes, &run_summary::nofree_bytes_at_end},
}};

// The figure of that key, or nullptr.
const summary_figure* find_figure(std::string_view key);

// new - base, exact whenever it fits in 64 bits.
std::int64_t difference(std::int64_t base, std::int64_t current);
std::int64_t difference(std::uint64_t base, std::uint64_t current);

// One figure of both runs.
struct figure_change {
  const summary_figure* figure = nullptr;
  std::uint64_t base = 0;
  std::uint64_t current = 0;

  std::int64_t change() const { return difference(base, current); }
  // The change in percent of the base; none when the base is 0.
  std::optional<double> percent() const;
};

// One entry of a top list in either run or both: its texts (those of the
// new run; a gone entry's of the base) and its numbers in each run, 0 in a
// run that lacks it, in the order of the list's compared columns.
struct entry_change {
  enum class presence { both, added, gone };
  std::vector<std::string> texts;
  std::vector<std::int64_t> base;
  std::vector<std::int64_t> current;
  presence where = presence::both;

  std::int64_t change(std::size_t column) const { return difference(base[column], current[column]); }
};

// "both", "new" or "gone", as the JSON and the page say it.
std::string_view presence_name(entry_change::presence where);

// A top list of both runs. Its columns are the list's number columns
// without the identifiers (an id names an entry in one run only).
struct list_change {
  std::string key;
  std::string title;
  std::vector<std::string> text_columns;
  std::vector<std::string> number_columns;
  // The notes of the list in each run (a list without an answer).
  std::string base_note;
  std::string current_note;
  // Entries whose numbers grew, largest growth first: ranked by the change
  // of the first column, then of the next ones, then by texts. Shrank:
  // the most shrinkage first.
  std::vector<entry_change> grew;
  std::vector<entry_change> shrank;
  std::size_t unchanged = 0;
  std::size_t added = 0;
  std::size_t gone = 0;
};

struct diff_data {
  run_summary base;
  run_summary current;
  std::vector<figure_change> figures;  // in the order of summary_figures
  std::vector<list_change> lists;      // the new run's lists, then the base's others
  chart base_memory;
  chart current_memory;
};

}  // namespace kivdb::report
