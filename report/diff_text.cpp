#include <algorithm>
#include <cmath>
#include <cstdio>
#include <iomanip>

#include "report/diff_renderers.h"
#include "report/renderers.h"

namespace kivdb::report {

std::string signed_grouped(std::int64_t change) { return (change > 0 ? "+" : "") + grouped(change); }

std::string percent_text(std::optional<double> percent) {
  if (!percent) return {};
  // One decimal; a change too small to show is still not "-0.0%".
  const double rounded = std::round(*percent * 10) / 10;
  char buffer[48];
  std::snprintf(buffer, sizeof buffer, "%s%.1f%%", rounded > 0 ? "+" : "", rounded == 0 ? 0.0 : rounded);
  return buffer;
}

namespace {

std::string or_dash(const std::string& text) { return text.empty() ? "-" : text; }

void write_run(std::ostream& out, std::string_view label, const run_summary& s) {
  out << label << "run " << s.run_id << ": " << or_dash(s.program) << " on " << or_dash(s.host) << " by "
      << or_dash(s.user) << ", " << or_dash(s.start_time) << " to " << or_dash(s.end_time) << '\n';
}

void write_cut(std::ostream& out, std::string_view which, const run_summary& s) {
  for (const std::string& reason : s.cut_short) out << "  " << which << " run cut short: " << reason << '\n';
}

// The figures side by side, numbers right-aligned under their headings.
void write_figures(std::ostream& out, const std::vector<figure_change>& figures) {
  std::size_t name = 0;
  std::size_t number = std::string_view("change").size();
  for (const figure_change& f : figures) {
    name = std::max(name, f.figure->key.size());
    number = std::max({number, grouped(static_cast<std::int64_t>(f.base)).size(),
                       grouped(static_cast<std::int64_t>(f.current)).size(), signed_grouped(f.change()).size()});
  }
  const auto cell = [&](const std::string& text) { out << "  " << std::setw(static_cast<int>(number)) << text; };
  out << "\n  " << std::setw(static_cast<int>(name)) << "";
  for (const char* heading : {"base", "new", "change"}) cell(heading);
  out << '\n';
  for (const figure_change& f : figures) {
    out << "  " << std::left << std::setw(static_cast<int>(name)) << f.figure->key << std::right;
    cell(grouped(static_cast<std::int64_t>(f.base)));
    cell(grouped(static_cast<std::int64_t>(f.current)));
    cell(signed_grouped(f.change()));
    const std::string percent = percent_text(f.percent());
    if (!percent.empty() && f.change() != 0) out << "  " << percent;
    out << '\n';
  }
}

// "2 grew (1 new), 1 shrank (1 gone), 3 unchanged"
std::string counts_text(const list_change& list) {
  if (list.grew.empty() && list.shrank.empty())
    return "no change (" + std::to_string(list.unchanged) + (list.unchanged == 1 ? " entry)" : " entries)");
  std::string text = std::to_string(list.grew.size()) + " grew";
  if (list.added != 0) text += " (" + std::to_string(list.added) + " new)";
  text += ", " + std::to_string(list.shrank.size()) + " shrank";
  if (list.gone != 0) text += " (" + std::to_string(list.gone) + " gone)";
  return text + ", " + std::to_string(list.unchanged) + " unchanged";
}

// Each column: the new run's value and the change, right-aligned.
struct entry_table {
  const list_change& list;
  std::vector<std::size_t> widths;  // value, change, value, change, ...

  entry_table(const list_change& l, std::size_t top) : list(l), widths(2 * l.number_columns.size()) {
    for (std::size_t c = 0; c < l.number_columns.size(); ++c) {
      widths[2 * c] = l.number_columns[c].size();
      widths[2 * c + 1] = std::string_view("change").size();
    }
    for (const auto* entries : {&l.grew, &l.shrank})
      for (std::size_t r = 0; r < std::min(top, entries->size()); ++r) widen((*entries)[r]);
  }
  void widen(const entry_change& e) {
    for (std::size_t c = 0; c < list.number_columns.size(); ++c) {
      widths[2 * c] = std::max(widths[2 * c], grouped(e.current[c]).size());
      widths[2 * c + 1] = std::max(widths[2 * c + 1], signed_grouped(e.change(c)).size());
    }
  }
  void cells(std::ostream& out, const std::vector<std::string>& texts) const {
    out << "  ";
    for (std::size_t i = 0; i < texts.size(); ++i) out << "  " << std::setw(static_cast<int>(widths[i])) << texts[i];
  }
  void heading(std::ostream& out) const {
    std::vector<std::string> texts;
    for (const std::string& name : list.number_columns) texts.insert(texts.end(), {name, "change"});
    cells(out, texts);
    for (const std::string& name : list.text_columns) out << "  " << name;
    out << '\n';
  }
  void row(std::ostream& out, const entry_change& e) const {
    std::vector<std::string> texts;
    for (std::size_t c = 0; c < list.number_columns.size(); ++c)
      texts.insert(texts.end(), {grouped(e.current[c]), signed_grouped(e.change(c))});
    cells(out, texts);
    for (const std::string& text : e.texts) out << "  " << text;
    if (e.where != entry_change::presence::both) out << " (" << presence_name(e.where) << ')';
    out << '\n';
  }
};

void write_entries(std::ostream& out, const entry_table& table, std::string_view label,
                   const std::vector<entry_change>& entries, std::size_t top) {
  if (entries.empty()) return;
  const std::size_t shown = std::min(top, entries.size());
  out << "  " << label;
  if (shown < entries.size()) out << " (top " << shown << " of " << entries.size() << ")";
  out << ":\n";
  table.heading(out);
  for (std::size_t r = 0; r < shown; ++r) table.row(out, entries[r]);
}

void write_list(std::ostream& out, const list_change& list, std::size_t top) {
  out << '\n' << list.title;
  if (!list.base_note.empty() && list.base_note == list.current_note) {
    out << "\n  (" << list.base_note << ")\n";
    return;
  }
  out << ": " << counts_text(list) << '\n';
  if (!list.base_note.empty()) out << "  (base: " << list.base_note << ")\n";
  if (!list.current_note.empty()) out << "  (new: " << list.current_note << ")\n";
  const entry_table table(list, top);
  write_entries(out, table, "grew most", list.grew, top);
  write_entries(out, table, "shrank most", list.shrank, top);
}

}  // namespace

void write_diff_text(std::ostream& out, const diff_data& data, std::size_t top) {
  write_run(out, "Base: ", data.base);
  write_run(out, "New:  ", data.current);
  write_cut(out, "base", data.base);
  write_cut(out, "new", data.current);
  write_figures(out, data.figures);
  for (const list_change& list : data.lists) write_list(out, list, top);
}

}  // namespace kivdb::report
