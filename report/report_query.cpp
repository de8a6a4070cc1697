#include "report/report_query.h"

#include <algorithm>
#include <map>
#include <optional>

#include "report/memory_scan.h"
#include "report/series_reducer.h"

namespace kivdb::report {

namespace {

using params = std::vector<std::optional<std::string>>;

constexpr std::int64_t no_location = 0;

std::uint64_t as_unsigned(std::int64_t v) { return static_cast<std::uint64_t>(v); }

std::string text_or_empty(const row_view& row, int column) {
  return row.is_null(column) ? std::string() : std::string(row.text(column));
}

void read_run_info(database& db, const std::string& run_id, run_summary& s) {
  bool first = true;
  db.query("SELECT program, host, user_name, start_time, end_time FROM runs WHERE run_id = ? "
           "ORDER BY row_nr",
           params{run_id}, [&](const row_view& row) {
             if (first) {
               s.program = text_or_empty(row, 0);
               s.host = text_or_empty(row, 1);
               s.user = text_or_empty(row, 2);
               s.start_time = text_or_empty(row, 3);
               s.end_time = text_or_empty(row, 4);
               first = false;
               return;
             }
             // A later header of the same run: the run spans all of them.
             s.start_time = std::min(s.start_time, text_or_empty(row, 3));
             s.end_time = std::max(s.end_time, text_or_empty(row, 4));
           });
  s.run_id = run_id;
}

std::int64_t single_integer(database& db, const std::string& sql, const std::string& run_id) {
  std::int64_t value = 0;
  db.query(sql, params{run_id}, [&](const row_view& row) {
    if (!row.is_null(0)) value = row.integer(0);
  });
  return value;
}

std::map<std::int64_t, std::string> names_by_key(database& db, const std::string& sql,
                                                 const std::string& run_id) {
  std::map<std::int64_t, std::string> names;
  db.query(sql, params{run_id}, [&](const row_view& row) {
    names.try_emplace(row.integer(0), text_or_empty(row, 1));
  });
  return names;
}

std::string location_name(const std::map<std::int64_t, std::string>& sources, std::int64_t key) {
  if (key == no_location) return "(no location)";
  const auto it = sources.find(key);
  if (it == sources.end() || it->second.empty()) return "location " + std::to_string(key);
  return it->second;
}

// Rows sorted by their first number, largest first, then by name.
void rank(top_list& list) {
  std::stable_sort(list.rows.begin(), list.rows.end(), [](const top_row& a, const top_row& b) {
    if (a.numbers.front() != b.numbers.front()) return a.numbers.front() > b.numbers.front();
    return a.texts.front() < b.texts.front();
  });
}

std::string function_name(const row_view& row, int column) {
  return row.is_null(column) ? std::string("?") : std::string(row.text(column));
}

// Bytes and blocks alive at the end, by location and by call arc, from one
// pass over the view of the blocks still alive.
struct leak_sums {
  std::map<std::int64_t, location_figures> by_location;
  std::map<std::string, location_figures> by_arc;
};

leak_sums read_leaks(database& db, const std::string& run_id) {
  leak_sums sums;
  db.query("SELECT location, size, caller_function, callee_function FROM live_blocks "
           "WHERE run_id = ?",
           params{run_id}, [&](const row_view& row) {
             const std::int64_t size = row.integer(1);
             location_figures& place = sums.by_location[row.integer(0)];
             place.count += 1;
             place.bytes += size;
             location_figures& arc =
                 sums.by_arc[function_name(row, 2) + " -> " + function_name(row, 3)];
             arc.count += 1;
             arc.bytes += size;
           });
  return sums;
}

// Rows of bytes, then blocks.
top_row leak_row(std::string name, const location_figures& f) {
  return {{std::move(name)}, {f.bytes, f.count}};
}

top_list leaks_by_location(const leak_sums& leaks,
                           const std::map<std::int64_t, std::string>& sources) {
  top_list list{"leaks_by_location", "Leaks by location", {"name"}, {"bytes", "blocks"}, {}};
  for (const auto& [location, f] : leaks.by_location)
    list.rows.push_back(leak_row(location_name(sources, location), f));
  rank(list);
  return list;
}

top_list leaks_by_arc(const leak_sums& leaks) {
  top_list list{"leaks_by_arc", "Leaks by call arc", {"name"}, {"bytes", "blocks"}, {}};
  for (const auto& [arc, f] : leaks.by_arc) list.rows.push_back(leak_row(arc, f));
  rank(list);
  return list;
}

top_list location_list(std::string key, std::string title, std::string count_name,
                       const std::map<std::int64_t, location_figures>& figures,
                       const std::map<std::int64_t, std::string>& sources) {
  top_list list{std::move(key), std::move(title), {"name"}, {std::move(count_name), "bytes"}, {}};
  for (const auto& [location, f] : figures)
    list.rows.push_back({{location_name(sources, location)}, {f.count, f.bytes}});
  rank(list);
  return list;
}

struct malid_label {
  std::string name;
  std::string category;
};

std::map<std::int64_t, malid_label> malid_labels(database& db, const std::string& run_id) {
  std::map<std::int64_t, malid_label> labels;
  db.query("SELECT malid, name, category FROM malid WHERE run_id = ? ORDER BY row_nr",
           params{run_id}, [&](const row_view& row) {
             labels[row.integer(0)] = {text_or_empty(row, 1), text_or_empty(row, 2)};
           });
  return labels;
}

std::string malid_name(const std::map<std::int64_t, malid_label>& labels, std::int64_t id) {
  const auto it = labels.find(id);
  if (it == labels.end() || it->second.name.empty()) return "malloc id " + std::to_string(id);
  return it->second.name;
}

top_list peak_by_malid(const std::map<std::int64_t, malid_figures>& peaks,
                       const std::map<std::int64_t, malid_label>& labels) {
  top_list list{"peak_by_malid", "Peak in use by malloc id",
                {"name", "category"}, {"peak_bytes", "peak_wf_bytes", "malid"}, {}};
  for (const auto& [id, f] : peaks) {
    const auto it = labels.find(id);
    list.rows.push_back({{malid_name(labels, id), it == labels.end() ? "" : it->second.category},
                         {f.peak_in_use, f.peak_wf, id}});
  }
  rank(list);
  return list;
}

std::vector<chart_marker> read_markers(database& db, const std::string& run_id) {
  std::vector<chart_marker> markers;
  db.query("SELECT rec, time, grp, kind, text FROM marker WHERE run_id = ? "
           "AND grp IN ('Marker', 'Process') ORDER BY row_nr",
           params{run_id}, [&](const row_view& row) {
             chart_marker m;
             m.record = as_unsigned(row.integer(0));
             m.time = text_or_empty(row, 1);
             m.text = text_or_empty(row, 4);
             const std::string kind = text_or_empty(row, 3);
             if (text_or_empty(row, 2) == "Process")
               m.what = kind == "End" ? chart_marker::kind::process_end
                                      : chart_marker::kind::process_start;
             markers.push_back(std::move(m));
           });
  return markers;
}

// Ids (malloc ids or processes) ordered by their peak, largest first.
template <typename Peak>
std::vector<std::int64_t> largest(const std::map<std::int64_t, Peak>& peaks,
                                  std::int64_t (*value)(const Peak&), std::size_t count) {
  std::vector<std::int64_t> ids;
  for (const auto& entry : peaks) ids.push_back(entry.first);
  std::stable_sort(ids.begin(), ids.end(), [&](std::int64_t a, std::int64_t b) {
    return value(peaks.at(a)) > value(peaks.at(b));
  });
  if (ids.size() > count) ids.resize(count);
  return ids;
}

chart top_malid_chart(memory_scan& scan, const std::map<std::int64_t, malid_label>& labels,
                      std::size_t count) {
  const auto ids = largest<malid_figures>(
      scan.malids(), [](const malid_figures& f) { return f.peak_in_use; }, count);
  std::vector<series_table> parts;
  for (const std::int64_t id : ids) {
    parts.push_back(scan.malid_series().at(id).finish());
    parts.back().names = {malid_name(labels, id)};
  }
  return {"Top malloc ids in use", merge_held(parts)};
}

std::vector<chart> process_charts(memory_scan& scan,
                                  const std::map<std::int64_t, std::string>& sessions,
                                  std::size_t count) {
  std::vector<chart> charts;
  if (scan.process_peaks().size() < 2) return charts;
  const auto ids = largest<std::int64_t>(
      scan.process_peaks(), [](const std::int64_t& peak) { return peak; }, count);
  for (const std::int64_t id : ids) {
    const auto it = sessions.find(id);
    std::string title = "Process " + std::to_string(id);
    if (it != sessions.end() && !it->second.empty()) title += " (" + it->second + ")";
    charts.push_back({title, scan.process_series().at(id).finish()});
  }
  return charts;
}

}  // namespace

std::vector<std::string> loaded_runs(database& db) {
  std::vector<std::string> runs;
  db.query("SELECT run_id FROM " + std::string(loads_table) + " ORDER BY run_id", {},
           [&](const row_view& row) { runs.emplace_back(row.text(0)); });
  return runs;
}

report_data build_report(database& db, const std::string& run_id,
                         const report_settings& settings) {
  std::uint64_t first = 0;
  std::uint64_t last = 0;
  db.query("SELECT MIN(rec), MAX(rec) FROM memory WHERE run_id = ?", params{run_id},
           [&](const row_view& row) {
             if (row.is_null(0)) return;
             first = as_unsigned(row.integer(0));
             last = as_unsigned(row.integer(1));
           });
  memory_scan scan(settings, first, last);
  db.query(memory_scan::sql, params{run_id}, [&](const row_view& row) { scan.add(row); });

  report_data data;
  data.summary = scan.summary();
  read_run_info(db, run_id, data.summary);
  data.summary.processes = as_unsigned(single_integer(
      db, "SELECT COUNT(*) FROM process WHERE run_id = ? AND process_id <> 0", run_id));

  const auto sources =
      names_by_key(db, "SELECT location, source FROM hashloc WHERE run_id = ?", run_id);
  const auto labels = malid_labels(db, run_id);
  const auto sessions =
      names_by_key(db, "SELECT process_id, session FROM process WHERE run_id = ?", run_id);

  const leak_sums leaks = read_leaks(db, run_id);
  data.lists.push_back(leaks_by_location(leaks, sources));
  data.lists.push_back(leaks_by_arc(leaks));
  data.lists.push_back(peak_by_malid(scan.malids(), labels));
  data.lists.push_back(location_list("allocations_by_location", "Most allocations by location",
                                     "allocations", scan.allocations(), sources));
  data.lists.push_back(location_list(
      "temporary_by_location",
      "Temporary allocations by location (freed within " +
          std::to_string(settings.temporary_distance) + " records)",
      "blocks", scan.temporaries(), sources));

  data.memory = {"Memory in use", scan.memory_series()};
  data.markers = read_markers(db, run_id);
  data.top_malids = top_malid_chart(scan, labels, settings.chart_malids);
  data.processes = process_charts(scan, sessions, settings.chart_processes);
  data.sizes = std::move(scan.sizes());
  return data;
}

}  // namespace kivdb::report
