#include "report/report_builder.h"

#include <algorithm>
#include <map>
#include <optional>
#include <tuple>
#include <vector>

#include "db/image_plan.h"
#include "report/memory_scan.h"
#include "report/place_lists.h"
#include "report/series_reducer.h"

namespace kivdb::report {

namespace {

constexpr std::int64_t no_location = 0;
// The id kiv files the blocks of malloc ids never reserved under.
constexpr std::uint32_t unknown_malid = 99999999;
constexpr std::string_view user_marker_group = "Marker";
constexpr std::string_view process_marker_group = "Process";

std::uint64_t as_unsigned(std::int64_t v) { return static_cast<std::uint64_t>(v); }

std::string text_or_empty(const row_view& row, int column) {
  return row.is_null(column) ? std::string() : std::string(row.text(column));
}

template <std::size_t N>
std::span<const std::string_view> columns(const std::string_view (&names)[N]) {
  return names;
}

// ---- headers ------------------------------------------------------------

// The run's information from its "runs" rows: the first header that names
// its program, and the span of the headers' times that are set.
void read_runs(run_rows& rows, run_summary& s, image_plan& plan) {
  static constexpr std::string_view names[] = {"pid", "program", "host", "user_name", "start_time", "end_time"};
  bool named = false;
  rows.read("runs", columns(names), [&](const row_view& row) {
    const std::string start = text_or_empty(row, 4);
    const std::string end = text_or_empty(row, 5);
    plan.add_run(static_cast<std::int32_t>(row.integer(0)), start, end);
    if (!named && !row.is_null(1) && !row.text(1).empty()) {
      named = true;
      s.program = text_or_empty(row, 1);
      s.host = text_or_empty(row, 2);
      s.user = text_or_empty(row, 3);
    }
    if (time_is_set(start) && (s.start_time.empty() || start < s.start_time)) s.start_time = start;
    if (time_is_set(end) && end > s.end_time) s.end_time = end;
  });
}

struct image_marker {
  std::size_t image = 0;
  chart_marker marker;
};

// The markers of the plan, and the user and process markers for the chart
// (their record numbers still the image's own).
std::vector<image_marker> read_markers(run_rows& rows, image_plan& plan, std::vector<std::uint64_t>& highest) {
  static constexpr std::string_view names[] = {"image", "pid", "rec", "time", "grp", "kind", "text"};
  std::vector<image_marker> out;
  rows.read("marker", columns(names), [&](const row_view& row) {
    const std::uint64_t rec = as_unsigned(row.integer(2));
    const std::string_view group = row.text(4);
    const std::string_view kind = row.text(5);
    plan.add_marker(static_cast<std::int32_t>(row.integer(1)), rec, row.text(3), group, kind, row.text(6));
    const auto image = static_cast<std::size_t>(row.integer(0));
    if (image == 0) return;
    if (highest.size() < image) highest.resize(image);
    highest[image - 1] = std::max(highest[image - 1], rec);
    if (group != user_marker_group && group != process_marker_group) return;
    chart_marker m;
    m.record = rec;
    m.time = text_or_empty(row, 3);
    m.text = text_or_empty(row, 6);
    if (group == process_marker_group)
      m.what = kind == "End" ? chart_marker::kind::process_end : chart_marker::kind::process_start;
    out.push_back({image, std::move(m)});
  });
  return out;
}

// Where each image starts on the record axis: after the records of the
// images before it. An image's records end at its End marker; one without
// (cut short) is taken to end at its highest marker.
std::vector<std::uint64_t> image_offsets(const image_plan& plan, const std::vector<std::uint64_t>& highest,
                                         std::uint64_t& last_x) {
  std::vector<std::uint64_t> offsets;
  std::uint64_t at = 0;
  for (std::size_t n = 1; n <= plan.images().size(); ++n) {
    offsets.push_back(at);
    const process_image& image = plan.image(n);
    at += image.ended ? image.end_rec : (n <= highest.size() ? highest[n - 1] : 0);
  }
  last_x = at;
  return offsets;
}

// ---- names --------------------------------------------------------------

using image_names = std::map<image_key, std::string>;

image_names names_by_key(run_rows& rows, std::string_view table, std::string_view key, std::string_view value) {
  const std::string_view names[] = {"image", key, value};
  image_names out;
  rows.read(table, names, [&](const row_view& row) {
    out.try_emplace({row.integer(0), row.integer(1)}, text_or_empty(row, 2));
  });
  return out;
}

std::string location_text(std::int64_t key, const std::string* source) {
  if (key == no_location) return "(no location)";
  if (source == nullptr || source->empty()) return "location " + std::to_string(key);
  return *source;
}

std::string location_name(const image_names& sources, image_key key) {
  const auto it = sources.find(key);
  return location_text(key.second, it == sources.end() ? nullptr : &it->second);
}

// A location that names no place: key 0, or a key the run never described.
bool unnamed_location(const image_names& sources, image_key key) {
  const auto it = sources.find(key);
  return key.second == no_location || it == sources.end() || it->second.empty();
}

struct malid_label {
  std::string name;
  std::string category;
};

std::map<image_key, malid_label> malid_labels(run_rows& rows) {
  static constexpr std::string_view names[] = {"image", "malid", "name", "category"};
  std::map<image_key, malid_label> labels;
  rows.read("malid", columns(names), [&](const row_view& row) {
    labels[{row.integer(0), row.integer(1)}] = {text_or_empty(row, 2), text_or_empty(row, 3)};
  });
  return labels;
}

using arc_key = std::tuple<std::int64_t, std::int64_t, std::int64_t>;

std::map<arc_key, std::string> arc_names(run_rows& rows) {
  static constexpr std::string_view names[] = {"image", "process_id", "arc", "caller_function", "callee_function"};
  std::map<arc_key, std::string> out;
  rows.read("arcs", columns(names), [&](const row_view& row) {
    const auto name = [&](int c) { return row.is_null(c) ? std::string("?") : std::string(row.text(c)); };
    out.try_emplace({row.integer(0), row.integer(1), row.integer(2)}, name(3) + " -> " + name(4));
  });
  return out;
}

// Sessions of the processes by image, and the number of traced processes
// (process 0 is the default process of each header).
image_names read_processes(run_rows& rows, std::uint64_t& processes, process_rows& by_image) {
  static constexpr std::string_view names[] = {"image", "process_id", "session"};
  image_names sessions;
  rows.read("process", columns(names), [&](const row_view& row) {
    if (row.integer(1) != 0) ++processes;
    sessions.try_emplace({row.integer(0), row.integer(1)}, text_or_empty(row, 2));
    const auto image = static_cast<std::size_t>(row.integer(0));
    if (image == 0) return;
    if (by_image.size() < image) by_image.resize(image);
    by_image[image - 1].insert(static_cast<std::uint32_t>(row.integer(1)));
  });
  return sessions;
}

// ---- lists --------------------------------------------------------------

// Live blocks by location and by call arc. Location keys and arcs are
// numbered per image; the source text and the function names make a place
// in the code the same in every image.
struct leak_sums {
  named_sums by_location;
  named_sums by_arc;
};

leak_sums sum_leaks(const memory_scan& scan, const image_names& sources, const std::map<arc_key, std::string>& arcs) {
  leak_sums sums;
  for (const auto& [place, f] : scan.live_by_place()) {
    const image_key location{place.image, place.location};
    sums.by_location.add(location_name(sources, location), f, unnamed_location(sources, location));
    const auto arc = arcs.find({place.image, place.process, place.arc});
    sums.by_arc.add(arc == arcs.end() ? "? -> ?" : arc->second, f, place.arc == 0 || arc == arcs.end());
  }
  return sums;
}

top_list arc_list(const named_sums& by_arc, bool call_arcs) {
  top_list list{"leaks_by_arc", "Leaks by call arc", {"name"}, {"bytes", "blocks"}, {}, {}};
  for (const auto& [name, f] : by_arc.by_name) list.rows.push_back({{name}, {f.bytes, f.count}});
  rank(list);
  by_arc.note_if_empty(list, call_arcs ? root_arcs_note : no_call_arcs_note);
  return list;
}

// Figures of per-image location keys summed by the location's text.
named_sums by_text(const std::map<image_key, location_figures>& figures, const image_names& sources) {
  named_sums sums;
  for (const auto& [location, f] : figures)
    sums.add(location_name(sources, location), f, unnamed_location(sources, location));
  return sums;
}

// The lists of places in the code, and the flame graph of their stacks.
struct place_results {
  top_list leaks;
  top_list arcs;
  top_list allocations;
  top_list temporaries;
  top_list peak;
  top_list leaks_by_function;
  top_list allocations_by_function;
  flame_graph flame;
  frame_table frames;
};

place_results place_figures(memory_scan& scan, const image_names& sources, const std::map<arc_key, std::string>& arcs,
                            const report_settings& settings) {
  const leak_sums leaks = sum_leaks(scan, sources, arcs);
  const named_sums allocations = by_text(scan.allocations(), sources);
  const named_sums temporaries = by_text(scan.temporaries(), sources);
  const named_sums peak = by_text(scan.held_at_peak(), sources);
  place_lists places;
  place_results out;
  out.leaks = places.by_location({"leaks_by_location", "Leaks by location", "blocks"}, leaks.by_location,
                                 no_locations_note);
  out.arcs = arc_list(leaks.by_arc, scan.has_call_arcs());
  out.allocations = places.by_location(
      {"allocations_by_location", "Most allocations by location", "allocations", first_figure::count}, allocations,
      no_locations_note);
  out.temporaries = places.by_location(
      {"temporary_by_location",
       "Temporary allocations by location (freed within " + std::to_string(settings.temporary_distance) +
           " records)",
       "blocks", first_figure::count},
      temporaries, no_locations_note);
  out.peak = places.by_location({"peak_by_location", "Peak consumers (held at the peak)", "blocks"}, peak,
                                no_locations_note);
  out.leaks_by_function =
      places.by_function({"leaks_by_function", "Leaks by function", "blocks"}, leaks.by_location, no_stacks_note);
  out.allocations_by_function = places.by_function(
      {"allocations_by_function", "Most allocations by function", "allocations", first_figure::count}, allocations,
      no_stacks_note);
  out.flame = places.flame(leaks.by_location, peak, allocations);
  out.frames = places.take_frames();
  return out;
}

std::string malid_name(const std::map<image_key, malid_label>& labels, image_key id) {
  const auto it = labels.find(id);
  if (it == labels.end() || it->second.name.empty()) return "malloc id " + std::to_string(id_number(id.second));
  return it->second.name;
}

// Malloc ids are numbered per image; ids of the same name (a library, the
// general heap) are one entry. Its peaks are the largest of its images'
// peaks, and its id that of the image with the largest peak in use.
struct malid_group {
  std::string category;
  malid_figures peak;
  std::int64_t id = 0;
  bool named = false;
  std::vector<image_key> keys;
};

std::map<std::string, malid_group> group_malids(const std::map<image_key, malid_figures>& peaks,
                                                const std::map<image_key, malid_label>& labels) {
  std::map<std::string, malid_group> groups;
  for (const auto& [key, f] : peaks) {
    const auto [it, fresh] = groups.try_emplace(malid_name(labels, key));
    malid_group& g = it->second;
    const auto label = labels.find(key);
    if (fresh || f.peak_in_use > g.peak.peak_in_use) {
      g.category = label == labels.end() ? std::string() : label->second.category;
      g.id = id_number(key.second);
    }
    g.named = g.named || (label != labels.end() && id_number(key.second) != unknown_malid);
    g.peak.peak_in_use = fresh ? f.peak_in_use : std::max(g.peak.peak_in_use, f.peak_in_use);
    g.peak.peak_wf = fresh ? f.peak_wf : std::max(g.peak.peak_wf, f.peak_wf);
    g.keys.push_back(key);
  }
  return groups;
}

top_list peak_by_malid(const std::map<std::string, malid_group>& groups) {
  top_list list{"peak_by_malid", "Peak in use by malloc id", {"name", "category"}, {"peak_bytes", "peak_wf_bytes", "malid"},
                {}, {}};
  bool any_named = false;
  for (const auto& [name, g] : groups) {
    list.rows.push_back({{name, g.category}, {g.peak.peak_in_use, g.peak.peak_wf, g.id}});
    any_named = any_named || g.named;
  }
  rank(list);
  if (!groups.empty() && !any_named) list.note = no_malids_note;
  return list;
}

// Keys (malloc id names or processes) ordered by their peak, largest first.
template <typename Key, typename Entry>
std::vector<Key> largest(const std::map<Key, Entry>& entries, std::int64_t (*value)(const Entry&), std::size_t count) {
  std::vector<Key> keys;
  for (const auto& entry : entries) keys.push_back(entry.first);
  std::stable_sort(keys.begin(), keys.end(),
                   [&](const Key& a, const Key& b) { return value(entries.at(a)) > value(entries.at(b)); });
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

// A malloc id name's line adds up its images' ids, as the memory chart
// does: an image that ended holds its last value.
chart top_malid_chart(memory_scan& scan, const std::map<std::string, malid_group>& groups, std::size_t count) {
  const auto names = largest<std::string, malid_group>(
      groups, [](const malid_group& g) { return g.peak.peak_in_use; }, count);
  std::vector<series_table> lines;
  for (const std::string& name : names) {
    std::vector<series_table> parts;
    for (const image_key& key : groups.at(name).keys) parts.push_back(scan.malid_series().at(key).finish());
    lines.push_back(summed(parts, name));
  }
  return {"Top malloc ids in use", merge_held(lines)};
}

std::vector<chart> process_charts(memory_scan& scan, const image_names& sessions, const image_plan& plan,
                                  std::size_t count) {
  std::vector<chart> charts;
  const auto peaks = scan.process_peaks();
  if (peaks.size() < 2) return charts;
  const auto ids = largest<image_key, std::int64_t>(peaks, [](const std::int64_t& peak) { return peak; }, count);
  for (const image_key& id : ids) {
    const auto it = sessions.find(id);
    std::string title = "Process " + std::to_string(id_number(id.second));
    if (it != sessions.end() && !it->second.empty()) title += " (" + it->second + ")";
    if (plan.images().size() > 1) title += " of pid " + std::to_string(plan.image(static_cast<std::size_t>(id.first)).pid);
    charts.push_back({title, scan.process_series().at(id).finish()});
  }
  return charts;
}

std::vector<std::string> cut_texts(const image_plan& plan, const std::vector<std::optional<std::uint64_t>>& last,
                                   const process_rows& processes) {
  std::vector<std::string> out;
  for (const cut_finding& f : plan.findings(last, &processes)) out.push_back(f.text());
  return out;
}

}  // namespace

std::vector<std::string> loaded_runs(database& db) {
  std::vector<std::string> runs;
  db.query("SELECT run_id FROM " + std::string(loads_table) + " ORDER BY run_id", {},
           [&](const row_view& row) { runs.emplace_back(row.text(0)); });
  return runs;
}

report_data build_report(run_rows& rows, const report_settings& settings) {
  report_data data;
  image_plan plan;
  read_runs(rows, data.summary, plan);
  std::vector<std::uint64_t> highest;
  const std::vector<image_marker> markers = read_markers(rows, plan, highest);
  plan.finish();
  std::uint64_t last_x = 0;
  std::vector<std::uint64_t> offsets = image_offsets(plan, highest, last_x);

  memory_scan scan(settings, offsets, last_x == 0 ? 0 : 1, last_x);
  rows.read("freemem", memory_scan::freemem_columns(), [&](const row_view& row) { scan.add_freemem(row); });
  std::vector<std::optional<std::uint64_t>> last_rec(plan.images().size());
  rows.read("memory", memory_scan::memory_columns(), [&](const row_view& row) {
    const memory_row r = memory_scan::memory_row_of(row);
    if (r.image >= 1 && r.image <= last_rec.size()) {
      auto& last = last_rec[r.image - 1];
      if (!last || r.rec > *last) last = r.rec;
    }
    scan.add(r);
  });

  const run_summary info = data.summary;
  data.summary = scan.summary();
  data.summary.run_id = rows.run_id();
  data.summary.program = info.program;
  data.summary.host = info.host;
  data.summary.user = info.user;
  data.summary.start_time = info.start_time;
  data.summary.end_time = info.end_time;
  data.summary.headers = plan.images().size();

  const auto malids = group_malids(scan.malids(), malid_labels(rows));
  const image_names sources = names_by_key(rows, "hashloc", "location", "source");
  const auto arcs = arc_names(rows);
  process_rows processes;
  const image_names sessions = read_processes(rows, data.summary.processes, processes);
  data.summary.cut_short = cut_texts(plan, last_rec, processes);

  place_results places = place_figures(scan, sources, arcs, settings);
  for (top_list* list : {&places.leaks, &places.arcs}) data.lists.push_back(std::move(*list));
  data.lists.push_back(peak_by_malid(malids));
  for (top_list* list : {&places.allocations, &places.temporaries, &places.peak, &places.leaks_by_function,
                         &places.allocations_by_function})
    data.lists.push_back(std::move(*list));
  data.flame = std::move(places.flame);
  data.frames = std::move(places.frames);

  data.memory = {data.summary.headers > 1 ? "Memory in use (headers added up)" : "Memory in use",
                 scan.memory_series()};
  for (const image_marker& m : markers) {
    chart_marker placed = m.marker;
    placed.record += scan.offset(m.image);
    data.markers.push_back(std::move(placed));
  }
  data.top_malids = top_malid_chart(scan, malids, settings.chart_malids);
  data.processes = process_charts(scan, sessions, plan, settings.chart_processes);
  data.sizes = std::move(scan.sizes());
  return data;
}

report_data build_report(database& db, const std::string& run_id, const report_settings& settings) {
  const auto rows = database_rows(db, run_id);
  return build_report(*rows, settings);
}

}  // namespace kivdb::report
