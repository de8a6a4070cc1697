#include <algorithm>
#include <cmath>
#include <cstdio>

#include "report/diff_renderers.h"
#include "report/renderers.h"

namespace kivdb::report {

namespace {

// Two decimals, or null when the base is 0.
std::string percent_json(std::optional<double> percent) {
  if (!percent) return "null";
  constexpr double hundredths = 100;
  const double rounded = std::round(*percent * hundredths) / hundredths;
  char buffer[48];
  std::snprintf(buffer, sizeof buffer, "%.2f", rounded == 0 ? 0.0 : rounded);
  return buffer;
}

void write_run(std::ostream& out, const char* key, const run_summary& s) {
  out << "  " << json_string(key) << ": {\"run_id\": " << json_string(s.run_id)
      << ", \"program\": " << json_string(s.program) << ", \"host\": " << json_string(s.host)
      << ", \"user\": " << json_string(s.user) << ", \"start_time\": " << json_string(s.start_time)
      << ", \"end_time\": " << json_string(s.end_time)
      << ", \"cut_short\": " << (s.cut_short.empty() ? "false" : "true") << ", \"cut_short_reasons\": [";
  for (std::size_t i = 0; i < s.cut_short.size(); ++i) out << (i == 0 ? "" : ", ") << json_string(s.cut_short[i]);
  out << "]}";
}

void write_figures(std::ostream& out, const std::vector<figure_change>& figures) {
  out << "  \"figures\": {";
  for (std::size_t i = 0; i < figures.size(); ++i) {
    const figure_change& f = figures[i];
    out << (i == 0 ? "\n    " : ",\n    ") << json_string(f.figure->key) << ": {\"base\": " << f.base
        << ", \"new\": " << f.current << ", \"change\": " << f.change()
        << ", \"percent\": " << percent_json(f.percent()) << '}';
  }
  out << "\n  }";
}

void write_entry(std::ostream& out, const list_change& list, const entry_change& e) {
  out << '{';
  for (std::size_t t = 0; t < list.text_columns.size(); ++t)
    out << json_string(list.text_columns[t]) << ": " << json_string(t < e.texts.size() ? e.texts[t] : "") << ", ";
  out << "\"presence\": \"" << presence_name(e.where) << '"';
  for (std::size_t c = 0; c < list.number_columns.size(); ++c)
    out << ", " << json_string(list.number_columns[c]) << ": {\"base\": " << e.base[c] << ", \"new\": " << e.current[c]
        << ", \"change\": " << e.change(c) << '}';
  out << '}';
}

void write_entries(std::ostream& out, const char* key, const list_change& list,
                   const std::vector<entry_change>& entries, std::size_t top) {
  out << ",\n      " << json_string(key) << ": [";
  const std::size_t shown = std::min(top, entries.size());
  for (std::size_t r = 0; r < shown; ++r) {
    out << (r == 0 ? "\n        " : ",\n        ");
    write_entry(out, list, entries[r]);
  }
  out << (shown == 0 ? "]" : "\n      ]");
}

void write_list(std::ostream& out, const list_change& list, std::size_t top) {
  out << "    " << json_string(list.key) << ": {\n      \"title\": " << json_string(list.title)
      << ",\n      \"grew\": " << list.grew.size() << ", \"shrank\": " << list.shrank.size()
      << ", \"new_entries\": " << list.added << ", \"gone_entries\": " << list.gone
      << ", \"unchanged\": " << list.unchanged << ",\n      \"base_note\": " << json_string(list.base_note)
      << ", \"new_note\": " << json_string(list.current_note);
  write_entries(out, "grew_most", list, list.grew, top);
  write_entries(out, "shrank_most", list, list.shrank, top);
  out << "\n    }";
}

void write_thresholds(std::ostream& out, const std::vector<threshold_outcome>& thresholds) {
  std::size_t passed = 0;
  out << "  \"thresholds\": [";
  for (std::size_t i = 0; i < thresholds.size(); ++i) {
    const threshold_outcome& t = thresholds[i];
    passed += t.passed ? 1 : 0;
    out << (i == 0 ? "\n    " : ",\n    ") << "{\"threshold\": " << json_string(t.test.text)
        << ", \"metric\": " << json_string(t.test.figure->key) << ", \"passed\": " << (t.passed ? "true" : "false")
        << ", \"base\": " << t.change.base << ", \"new\": " << t.change.current << ", \"change\": " << t.change.change()
        << '}';
  }
  out << (thresholds.empty() ? "]" : "\n  ]") << ",\n  \"thresholds_passed\": " << passed;
}

}  // namespace

void write_diff_json(std::ostream& out, const diff_data& data, std::size_t top,
                     const std::vector<threshold_outcome>& thresholds) {
  out << "{\n";
  write_run(out, "base", data.base);
  out << ",\n";
  write_run(out, "new", data.current);
  out << ",\n";
  write_figures(out, data.figures);
  out << ",\n  \"lists\": {";
  for (std::size_t l = 0; l < data.lists.size(); ++l) {
    out << (l == 0 ? "\n" : ",\n");
    write_list(out, data.lists[l], top);
  }
  out << (data.lists.empty() ? "},\n" : "\n  },\n");
  write_thresholds(out, thresholds);
  out << "\n}\n";
}

}  // namespace kivdb::report
