#include "report/diff_compare.h"

#include <algorithm>
#include <map>

namespace kivdb::report {

const summary_figure* find_figure(std::string_view key) {
  for (const summary_figure& f : summary_figures)
    if (f.key == key) return &f;
  return nullptr;
}

// In unsigned arithmetic, which wraps, so that no difference overflows.
std::int64_t difference(std::int64_t base, std::int64_t current) {
  return static_cast<std::int64_t>(static_cast<std::uint64_t>(current) - static_cast<std::uint64_t>(base));
}

std::int64_t difference(std::uint64_t base, std::uint64_t current) {
  return static_cast<std::int64_t>(current - base);
}

std::optional<double> figure_change::percent() const {
  if (base == 0) return std::nullopt;
  constexpr double hundred = 100.0;
  return hundred * static_cast<double>(change()) / static_cast<double>(base);
}

std::string_view presence_name(entry_change::presence where) {
  switch (where) {
    case entry_change::presence::added: return "new";
    case entry_change::presence::gone: return "gone";
    case entry_change::presence::both: break;
  }
  return "both";
}

namespace {

// The columns of a list that count (not the identifiers), as indices into
// its number columns.
std::vector<std::size_t> counted_columns(const top_list& list) {
  std::vector<std::size_t> out;
  for (std::size_t c = 0; c < list.number_columns.size(); ++c)
    if (!is_identifier_column(list.number_columns[c])) out.push_back(c);
  return out;
}

std::vector<std::int64_t> picked(const top_row& row, const std::vector<std::size_t>& columns) {
  std::vector<std::int64_t> out;
  for (std::size_t c : columns) out.push_back(c < row.numbers.size() ? row.numbers[c] : 0);
  return out;
}

// Negative when a's changes are smaller than b's, column by column.
int compare_changes(const entry_change& a, const entry_change& b) {
  for (std::size_t c = 0; c < a.base.size(); ++c) {
    const std::int64_t x = a.change(c);
    const std::int64_t y = b.change(c);
    if (x != y) return x < y ? -1 : 1;
  }
  return 0;
}

// The sign of an entry's change: its first column that changed.
int direction(const entry_change& e) {
  for (std::size_t c = 0; c < e.base.size(); ++c)
    if (e.change(c) != 0) return e.change(c) > 0 ? 1 : -1;
  return 0;
}

// Pairs the entries of both runs by their texts and stacks; a text that
// occurs more than once in a list pairs its occurrences in order.
// A list of one of the runs, with the frames its stacks index.
struct run_list {
  const top_list* list = nullptr;
  const frame_table* frames = nullptr;
};

std::vector<entry_change> match_entries(run_list base_run, run_list current_run,
                                        const std::vector<std::size_t>& columns) {
  const top_list* base = base_run.list;
  const top_list* current = current_run.list;
  std::vector<entry_change> entries;
  // Entries named alike (stacks with the same first frame) are told apart
  // by their stacks.
  using match_key = std::pair<std::vector<std::string>, std::vector<stack_frame>>;
  std::map<match_key, std::vector<std::size_t>> unmatched;
  const std::vector<std::int64_t> zeros(columns.size(), 0);
  if (current != nullptr) {
    for (const top_row& row : current->rows) {
      unmatched[{row.texts, frames_of(*current_run.frames, row)}].push_back(entries.size());
      entries.push_back({row.texts, zeros, picked(row, columns), entry_change::presence::added});
    }
    for (auto& [texts, at] : unmatched) std::reverse(at.begin(), at.end());
  }
  if (base == nullptr) return entries;
  for (const top_row& row : base->rows) {
    auto it = unmatched.find({row.texts, frames_of(*base_run.frames, row)});
    if (it == unmatched.end() || it->second.empty()) {
      entries.push_back({row.texts, picked(row, columns), zeros, entry_change::presence::gone});
      continue;
    }
    entry_change& e = entries[it->second.back()];
    it->second.pop_back();
    e.base = picked(row, columns);
    e.where = entry_change::presence::both;
  }
  return entries;
}

list_change compare_list(run_list base_run, run_list current_run) {
  const top_list* base = base_run.list;
  const top_list* current = current_run.list;
  const top_list& shape = current != nullptr ? *current : *base;
  const std::vector<std::size_t> columns = counted_columns(shape);
  list_change out;
  out.key = shape.key;
  out.title = shape.title;
  out.text_columns = shape.text_columns;
  for (std::size_t c : columns) out.number_columns.push_back(shape.number_columns[c]);
  out.base_note = base != nullptr ? base->note : std::string();
  out.current_note = current != nullptr ? current->note : std::string();
  for (entry_change& e : match_entries(base_run, current_run, columns)) {
    out.added += e.where == entry_change::presence::added ? 1 : 0;
    out.gone += e.where == entry_change::presence::gone ? 1 : 0;
    const int sign = direction(e);
    if (sign > 0) out.grew.push_back(std::move(e));
    else if (sign < 0) out.shrank.push_back(std::move(e));
    else ++out.unchanged;
  }
  const auto by = [](int order) {
    return [order](const entry_change& a, const entry_change& b) {
      const int c = compare_changes(a, b) * order;
      return c != 0 ? c > 0 : a.texts < b.texts;
    };
  };
  std::sort(out.grew.begin(), out.grew.end(), by(1));
  std::sort(out.shrank.begin(), out.shrank.end(), by(-1));
  return out;
}

const top_list* find_list(const std::vector<top_list>& lists, const std::string& key) {
  for (const top_list& list : lists)
    if (list.key == key) return &list;
  return nullptr;
}

}  // namespace

diff_data compare_runs(const report_data& base, const report_data& current) {
  diff_data d;
  d.base = base.summary;
  d.current = current.summary;
  for (const summary_figure& f : summary_figures) d.figures.push_back({&f, base.summary.*f.field, current.summary.*f.field});
  for (const top_list& list : current.lists)
    d.lists.push_back(compare_list({find_list(base.lists, list.key), &base.frames}, {&list, &current.frames}));
  for (const top_list& list : base.lists)
    if (find_list(current.lists, list.key) == nullptr)
      d.lists.push_back(compare_list({&list, &base.frames}, {nullptr, &current.frames}));
  d.base_memory = base.memory;
  d.current_memory = current.memory;
  return d;
}

}  // namespace kivdb::report
