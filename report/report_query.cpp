#include "report/report_query.h"

#include <algorithm>
#include <map>
#include <optional>
#include <unordered_map>
#include <vector>

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

using header_names = std::map<header_key, std::string>;

// Names of keys that hold within one header: (pid, key) -> text.
header_names names_by_key(database& db, const std::string& sql, const std::string& run_id) {
  header_names names;
  db.query(sql, params{run_id}, [&](const row_view& row) {
    names.try_emplace({row.integer(0), row.integer(1)}, text_or_empty(row, 2));
  });
  return names;
}

std::string location_text(std::int64_t key, const std::string& source) {
  if (key == no_location) return "(no location)";
  if (source.empty()) return "location " + std::to_string(key);
  return source;
}

std::string location_name(const header_names& sources, header_key key) {
  const auto it = sources.find(key);
  return location_text(key.second, it == sources.end() ? std::string() : it->second);
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
// pass over the view of the blocks still alive. Location keys and arcs are
// numbered per header; the source text and the function names are what
// make a place in the code the same in every header.
struct leak_sums {
  std::map<std::string, location_figures> by_location;
  std::map<std::string, location_figures> by_arc;
};

leak_sums read_leaks(database& db, const std::string& run_id) {
  leak_sums sums;
  db.query("SELECT location, source, size, caller_function, callee_function FROM live_blocks "
           "WHERE run_id = ?",
           params{run_id}, [&](const row_view& row) {
             const std::int64_t size = row.integer(2);
             location_figures& place =
                 sums.by_location[location_text(row.integer(0), text_or_empty(row, 1))];
             place.count += 1;
             place.bytes += size;
             location_figures& arc =
                 sums.by_arc[function_name(row, 3) + " -> " + function_name(row, 4)];
             arc.count += 1;
             arc.bytes += size;
           });
  return sums;
}

// Rows of bytes, then blocks.
top_row leak_row(std::string name, const location_figures& f) {
  return {{std::move(name)}, {f.bytes, f.count}};
}

top_list leaks_by_location(const leak_sums& leaks) {
  top_list list{"leaks_by_location", "Leaks by location", {"name"}, {"bytes", "blocks"}, {}};
  for (const auto& [name, f] : leaks.by_location) list.rows.push_back(leak_row(name, f));
  rank(list);
  return list;
}

top_list leaks_by_arc(const leak_sums& leaks) {
  top_list list{"leaks_by_arc", "Leaks by call arc", {"name"}, {"bytes", "blocks"}, {}};
  for (const auto& [arc, f] : leaks.by_arc) list.rows.push_back(leak_row(arc, f));
  rank(list);
  return list;
}

// Figures of per-header location keys summed by the location's text.
top_list location_list(std::string key, std::string title, std::string count_name,
                       const std::map<header_key, location_figures>& figures,
                       const header_names& sources) {
  std::map<std::string, location_figures> by_name;
  for (const auto& [location, f] : figures) {
    location_figures& sum = by_name[location_name(sources, location)];
    sum.count += f.count;
    sum.bytes += f.bytes;
  }
  top_list list{std::move(key), std::move(title), {"name"}, {std::move(count_name), "bytes"}, {}};
  for (const auto& [name, f] : by_name) list.rows.push_back({{name}, {f.count, f.bytes}});
  rank(list);
  return list;
}

struct malid_label {
  std::string name;
  std::string category;
};

std::map<header_key, malid_label> malid_labels(database& db, const std::string& run_id) {
  std::map<header_key, malid_label> labels;
  db.query("SELECT pid, malid, name, category FROM malid WHERE run_id = ? ORDER BY row_nr",
           params{run_id}, [&](const row_view& row) {
             labels[{row.integer(0), row.integer(1)}] = {text_or_empty(row, 2),
                                                         text_or_empty(row, 3)};
           });
  return labels;
}

std::string malid_name(const std::map<header_key, malid_label>& labels, header_key id) {
  const auto it = labels.find(id);
  if (it == labels.end() || it->second.name.empty()) return "malloc id " + std::to_string(id_number(id.second));
  return it->second.name;
}

// Malloc ids are numbered per header; ids of the same name (a library, the
// general heap) are one entry. Its peaks are the largest of its headers'
// peaks, and its id that of the header with the largest peak in use.
struct malid_group {
  std::string category;
  malid_figures peak;
  std::int64_t id = 0;
  std::vector<header_key> keys;
};

std::map<std::string, malid_group> group_malids(const std::map<header_key, malid_figures>& peaks,
                                                const std::map<header_key, malid_label>& labels) {
  std::map<std::string, malid_group> groups;
  for (const auto& [key, f] : peaks) {
    const auto [it, fresh] = groups.try_emplace(malid_name(labels, key));
    malid_group& g = it->second;
    if (fresh || f.peak_in_use > g.peak.peak_in_use) {
      const auto label = labels.find(key);
      g.category = label == labels.end() ? std::string() : label->second.category;
      g.id = id_number(key.second);
    }
    g.peak.peak_in_use = fresh ? f.peak_in_use : std::max(g.peak.peak_in_use, f.peak_in_use);
    g.peak.peak_wf = fresh ? f.peak_wf : std::max(g.peak.peak_wf, f.peak_wf);
    g.keys.push_back(key);
  }
  return groups;
}

top_list peak_by_malid(const std::map<std::string, malid_group>& groups) {
  top_list list{"peak_by_malid", "Peak in use by malloc id",
                {"name", "category"}, {"peak_bytes", "peak_wf_bytes", "malid"}, {}};
  for (const auto& [name, g] : groups)
    list.rows.push_back({{name, g.category}, {g.peak.peak_in_use, g.peak.peak_wf, g.id}});
  rank(list);
  return list;
}

// A marker's record number is its header's; on the run's axis it moves by
// where that header starts (a later header of the same pid starts where the
// markers' record numbers fall back).
std::vector<chart_marker> read_markers(database& db, const std::string& run_id,
                                       const memory_scan& scan) {
  struct place {
    std::size_t header = 0;
    std::uint64_t previous = 0;
  };
  std::map<std::int64_t, place> places;
  std::vector<chart_marker> markers;
  db.query("SELECT rec, time, grp, kind, text, pid FROM marker WHERE run_id = ? "
           "AND grp IN ('Marker', 'Process') ORDER BY row_nr",
           params{run_id}, [&](const row_view& row) {
             chart_marker m;
             m.record = as_unsigned(row.integer(0));
             const auto& offsets = scan.header_offsets(row.integer(5));
             place& p = places[row.integer(5)];
             if (m.record < p.previous && p.header + 1 < offsets.size()) ++p.header;
             p.previous = m.record;
             if (p.header < offsets.size()) m.record += offsets[p.header];
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

// Keys (malloc id names or processes) ordered by their peak, largest first.
template <typename Key, typename Entry>
std::vector<Key> largest(const std::map<Key, Entry>& entries,
                         std::int64_t (*value)(const Entry&), std::size_t count) {
  std::vector<Key> keys;
  for (const auto& entry : entries) keys.push_back(entry.first);
  std::stable_sort(keys.begin(), keys.end(), [&](const Key& a, const Key& b) {
    return value(entries.at(a)) > value(entries.at(b));
  });
  if (keys.size() > count) keys.resize(count);
  return keys;
}

// One column: the sum of the parts, each held at its last value.
series_table summed(const std::vector<series_table>& parts, std::string name) {
  series_table merged = merge_held(parts);
  series_table out;
  out.names = {std::move(name)};
  out.x = std::move(merged.x);
  out.values.assign(1, std::vector<std::int64_t>(out.x.size(), 0));
  for (const auto& column : merged.values)
    for (std::size_t i = 0; i < column.size(); ++i) out.values[0][i] += column[i];
  return out;
}

// A malloc id name's line adds up its headers' ids, as the memory chart
// does: a header that ended holds its last value.
chart top_malid_chart(memory_scan& scan, const std::map<std::string, malid_group>& groups,
                      std::size_t count) {
  const auto names = largest<std::string, malid_group>(
      groups, [](const malid_group& g) { return g.peak.peak_in_use; }, count);
  std::vector<series_table> lines;
  for (const std::string& name : names) {
    std::vector<series_table> parts;
    for (const header_key& key : groups.at(name).keys)
      parts.push_back(scan.malid_series().at(key).finish());
    lines.push_back(summed(parts, name));
  }
  return {"Top malloc ids in use", merge_held(lines)};
}

std::vector<chart> process_charts(memory_scan& scan, const header_names& sessions,
                                  bool several_headers, std::size_t count) {
  std::vector<chart> charts;
  if (scan.process_peaks().size() < 2) return charts;
  const auto ids = largest<header_key, std::int64_t>(
      scan.process_peaks(), [](const std::int64_t& peak) { return peak; }, count);
  for (const header_key& id : ids) {
    const auto it = sessions.find(id);
    std::string title = "Process " + std::to_string(id_number(id.second));
    if (it != sessions.end() && !it->second.empty()) title += " (" + it->second + ")";
    if (several_headers) title += " of pid " + std::to_string(id.first);
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

// The x axis of the run's series: the record numbers of its headers one
// after another, from the first record to the sum of each header's last.
// Folded from one pass in row order: grouping by pid in SQL would sort
// all of the run's rows.
std::pair<std::uint64_t, std::uint64_t> record_axis(database& db, const std::string& run_id) {
  struct rec_range {
    std::int64_t first;
    std::int64_t last;
  };
  std::vector<rec_range> ranges;  // per pid, in the order of their first rows
  std::unordered_map<std::int64_t, std::size_t> range_of_pid;
  rec_range* current = nullptr;
  std::int64_t current_pid = 0;
  db.query("SELECT pid, rec FROM memory WHERE run_id = ? ORDER BY row_nr", params{run_id}, [&](const row_view& row) {
    const std::int64_t pid = row.integer(0);
    const std::int64_t rec = row.integer(1);
    if (current == nullptr || pid != current_pid) {
      const auto [it, added] = range_of_pid.try_emplace(pid, ranges.size());
      if (added) ranges.push_back({rec, rec});
      current = &ranges[it->second];
      current_pid = pid;
    }
    current->first = std::min(current->first, rec);
    current->last = std::max(current->last, rec);
  });
  std::pair<std::uint64_t, std::uint64_t> axis{0, 0};
  if (!ranges.empty()) axis.first = as_unsigned(ranges.front().first);
  for (const rec_range& r : ranges) axis.second += as_unsigned(r.last);
  return axis;
}

report_data build_report(database& db, const std::string& run_id,
                         const report_settings& settings) {
  const auto [first, last] = record_axis(db, run_id);
  memory_scan scan(settings, first, last);
  db.query(memory_scan::sql, params{run_id}, [&](const row_view& row) { scan.add(row); });

  report_data data;
  data.summary = scan.summary();
  read_run_info(db, run_id, data.summary);
  data.summary.processes = as_unsigned(single_integer(
      db, "SELECT COUNT(*) FROM process WHERE run_id = ? AND process_id <> 0", run_id));

  const auto sources =
      names_by_key(db, "SELECT pid, location, source FROM hashloc WHERE run_id = ?", run_id);
  const auto malids = group_malids(scan.malids(), malid_labels(db, run_id));
  const auto sessions = names_by_key(
      db, "SELECT pid, process_id, session FROM process WHERE run_id = ?", run_id);

  const leak_sums leaks = read_leaks(db, run_id);
  data.lists.push_back(leaks_by_location(leaks));
  data.lists.push_back(leaks_by_arc(leaks));
  data.lists.push_back(peak_by_malid(malids));
  data.lists.push_back(location_list("allocations_by_location", "Most allocations by location",
                                     "allocations", scan.allocations(), sources));
  data.lists.push_back(location_list(
      "temporary_by_location",
      "Temporary allocations by location (freed within " +
          std::to_string(settings.temporary_distance) + " records)",
      "blocks", scan.temporaries(), sources));

  data.memory = {data.summary.headers > 1 ? "Memory in use (headers added up)" : "Memory in use",
                 scan.memory_series()};
  data.markers = read_markers(db, run_id, scan);
  data.top_malids = top_malid_chart(scan, malids, settings.chart_malids);
  data.processes =
      process_charts(scan, sessions, data.summary.headers > 1, settings.chart_processes);
  data.sizes = std::move(scan.sizes());
  return data;
}

}  // namespace kivdb::report
