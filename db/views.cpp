#include "db/views.h"

#include <vector>

namespace kivdb {

namespace {

// A block is made by an allocation with free ('a') or moved on by a
// realloc in place that found its block ('r' naming the block it had,
// which gives the block the realloc's record number and new size); it
// leaves the model with a "freemem" row naming that record number. What
// has no such row is alive at the end. Record numbers, location keys,
// malloc ids and arcs hold within one process image: the joins match the
// image as well.
const char* const live_blocks_sql =
    "SELECT m.run_id, m.pid, m.image, m.rec, m.time, m.tag, m.addr, m.new_size AS size, "
    "m.new_tot_size AS tot_size, m.location, h.source, m.malid, d.name AS malid_name, m.process_id, m.arc, "
    "a.caller_function, a.callee_function "
    "FROM memory m "
    "LEFT JOIN hashloc h ON h.run_id = m.run_id AND h.image = m.image AND h.location = m.location "
    "LEFT JOIN malid d ON d.run_id = m.run_id AND d.image = m.image AND d.malid = m.malid "
    "LEFT JOIN arcs a ON a.run_id = m.run_id AND a.image = m.image AND a.process_id = m.process_id "
    "AND a.arc = m.arc "
    "WHERE (m.tag = 'a' OR (m.tag = 'r' AND m.other_rec <> 0)) AND NOT EXISTS (SELECT 1 FROM freemem f "
    "WHERE f.run_id = m.run_id AND f.image = m.image AND f.rec = m.rec)";

// A frame is named when its function is known: kivrec writes a frame it
// knows only by its place as `object+0x1234`, without a file.
const char* const named_frame_sql =
    "(fr.file IS NOT NULL OR substr(fr.function, 1, length(fr.object) + 3) <> fr.object || '+0x')";

// Of each location's stack: the depth of its first named frame (the
// allocation site when no frame is named), which the by-function views
// call the stack's own ("self") function.
std::string self_depths() {
  return std::string("(SELECT fr.run_id, fr.image, fr.location, COALESCE(MIN(CASE WHEN ") + named_frame_sql +
         " THEN fr.depth END), 0) AS depth FROM frames fr GROUP BY fr.run_id, fr.image, fr.location)";
}

// Each function of each location's stack once, at its depth nearest the
// allocation: a function that calls itself counts once per stack.
const char* const stack_functions_sql =
    "(SELECT run_id, image, location, function, file, object, MIN(depth) AS depth FROM frames "
    "GROUP BY run_id, image, location, function, file, object)";

// Figures by location (`figures`: its run_id, pid, image and location
// columns and the named sums) summed by the functions of each location's
// stack: self where the function is the stack's first named frame, total
// wherever it stands in it.
std::string by_function(const std::string& figures, const std::vector<std::string>& sums) {
  std::string select = "SELECT l.run_id, l.pid, l.image, f.function, f.file, f.object";
  for (const std::string& sum : sums)
    select += ", SUM(CASE WHEN f.depth = s.depth THEN l." + sum + " ELSE 0 END) AS self_" + sum;
  for (const std::string& sum : sums) select += ", SUM(l." + sum + ") AS total_" + sum;
  return select + " FROM " + figures + " l JOIN " + stack_functions_sql +
         " f ON f.run_id = l.run_id AND f.image = l.image AND f.location = l.location JOIN " + self_depths() +
         " s ON s.run_id = f.run_id AND s.image = f.image AND s.location = f.location "
         "GROUP BY l.run_id, l.pid, l.image, f.function, f.file, f.object";
}

// Allocations (with and without free) and their bytes by location.
const char* const allocations_sql =
    "(SELECT run_id, pid, image, location, COUNT(*) AS allocations, SUM(size) AS bytes FROM memory "
    "WHERE tag = 'a' OR tag = 'n' GROUP BY run_id, pid, image, location)";

// The record of each image's peak: the first that reached the highest
// with-free bytes in use.
const char* const peak_records_sql =
    "(SELECT x.run_id, x.image, MIN(x.rec) AS rec FROM memory x JOIN (SELECT run_id, image, "
    "MAX(global_cur_wf_size) AS top FROM memory GROUP BY run_id, image) t ON t.run_id = x.run_id "
    "AND t.image = x.image AND x.global_cur_wf_size = t.top GROUP BY x.run_id, x.image)";

// The blocks alive after each image's peak record (made by then, not freed
// by then), summed by location. The memory rows are read once, each
// against the few peak records (CROSS JOIN keeps SQLite from building an
// index of the memory table for the join); a block's freemem row is found
// by its record number (freed_by + 0 keeps SQLite from reading the whole
// freed_by index for every row instead).
std::string peak_by_location_sql() {
  return std::string(
             "SELECT m.run_id, m.pid, m.image, p.rec AS peak_rec, m.location, h.source, COUNT(*) AS blocks, "
             "SUM(m.new_size) AS bytes, SUM(m.new_tot_size) AS tot_bytes FROM memory m CROSS JOIN ") +
         peak_records_sql +
         " p LEFT JOIN hashloc h ON h.run_id = m.run_id AND h.image = m.image AND h.location = m.location "
         "WHERE p.run_id = m.run_id AND p.image = m.image AND m.rec <= p.rec "
         "AND (m.tag = 'a' OR (m.tag = 'r' AND m.other_rec <> 0)) AND NOT EXISTS (SELECT 1 FROM freemem f "
         "WHERE f.run_id = m.run_id AND f.image = m.image AND f.rec = m.rec AND f.freed_by + 0 <= p.rec) "
         "GROUP BY m.run_id, m.pid, m.image, p.rec, m.location, h.source";
}

const std::vector<view_def>& all_views() {
  static const std::vector<view_def> list = {
      {"live_blocks",
       "blocks still alive at the end of the run: their process image, size, location and its source text, "
       "malloc id and its name, the call arc with the caller's and callee's function names",
       "SELECT addr, size, source, malid_name, callee_function FROM live_blocks WHERE run_id = '4711' "
       "ORDER BY size DESC LIMIT 10;",
       live_blocks_sql},
      {"leaks_by_location", "live blocks summed by source location",
       "SELECT source, blocks, bytes FROM leaks_by_location WHERE run_id = '4711' ORDER BY bytes DESC LIMIT 10;",
       "SELECT run_id, pid, image, location, source, COUNT(*) AS blocks, SUM(size) AS bytes, "
       "SUM(tot_size) AS tot_bytes FROM live_blocks GROUP BY run_id, pid, image, location, source"},
      {"leaks_by_malid", "live blocks summed by malloc id",
       "SELECT malid, malid_name, blocks, bytes FROM leaks_by_malid WHERE run_id = '4711' ORDER BY bytes DESC;",
       "SELECT run_id, pid, image, malid, malid_name, COUNT(*) AS blocks, SUM(size) AS bytes, "
       "SUM(tot_size) AS tot_bytes FROM live_blocks GROUP BY run_id, pid, image, malid, malid_name"},
      {"leaks_by_arc", "live blocks summed by call arc, with the function names of both ends",
       "SELECT caller_function, callee_function, blocks, bytes FROM leaks_by_arc WHERE run_id = '4711' "
       "ORDER BY bytes DESC LIMIT 10;",
       "SELECT run_id, pid, image, process_id, arc, caller_function, callee_function, COUNT(*) AS blocks, "
       "SUM(size) AS bytes, SUM(tot_size) AS tot_bytes FROM live_blocks "
       "GROUP BY run_id, pid, image, process_id, arc, caller_function, callee_function"},
      {"peak_by_malid", "highest memory in use (with and without free) of each malloc id over the run",
       "SELECT malid, name, peak_in_use_size FROM peak_by_malid WHERE run_id = '4711' "
       "ORDER BY peak_in_use_size DESC LIMIT 10;",
       "SELECT m.run_id, m.pid, m.image, m.malid, d.name, MAX(m.malid_in_use_size) AS peak_in_use_size, "
       "MAX(m.malid_in_use_tot_size) AS peak_in_use_tot_size, MAX(m.malid_peak_wf_size) AS peak_wf_size "
       "FROM memory m LEFT JOIN malid d ON d.run_id = m.run_id AND d.image = m.image AND d.malid = m.malid "
       "GROUP BY m.run_id, m.pid, m.image, m.malid, d.name"},
      {"peak_by_process", "highest memory in use of each traced process over the run",
       "SELECT process_id, session, peak_in_use_size FROM peak_by_process WHERE run_id = '4711';",
       "SELECT m.run_id, m.pid, m.image, m.process_id, p.session, MAX(m.process_in_use_size) AS peak_in_use_size, "
       "MAX(m.process_in_use_tot_size) AS peak_in_use_tot_size, MAX(m.process_peak_wf_size) AS peak_wf_size "
       "FROM memory m LEFT JOIN process p ON p.run_id = m.run_id AND p.image = m.image "
       "AND p.process_id = m.process_id GROUP BY m.run_id, m.pid, m.image, m.process_id, p.session"},
      {"peak_by_location",
       "bytes and blocks each location held at the peak of its process image (the blocks alive after the first "
       "record that reached the image's highest with-free bytes); of a run of several images, each image at its "
       "own peak",
       "SELECT source, blocks, bytes FROM peak_by_location WHERE run_id = '4711' ORDER BY bytes DESC LIMIT 10;",
       peak_by_location_sql()},
      {"leaks_by_function",
       "live blocks summed by function of the locations' call stacks: self where the function is the stack's "
       "first named frame, total where it stands anywhere in it (once per stack, also when it calls itself)",
       "SELECT function, file, self_bytes, total_bytes FROM leaks_by_function WHERE run_id = '4711' "
       "ORDER BY self_bytes DESC LIMIT 10;",
       by_function("leaks_by_location", {"blocks", "bytes"})},
      {"allocations_by_function",
       "allocations (with and without free) and their bytes by function of the locations' call stacks, self "
       "and total as in leaks_by_function",
       "SELECT function, file, self_allocations, total_allocations FROM allocations_by_function "
       "WHERE run_id = '4711' ORDER BY self_allocations DESC LIMIT 10;",
       by_function(allocations_sql, {"allocations", "bytes"})},
      {"usage_over_time",
       "memory in use (with free and without) after the last record of every thousand memory records of each "
       "process image",
       "SELECT time, in_use_size FROM usage_over_time WHERE run_id = '4711' ORDER BY rec;",
       "SELECT m.run_id, m.pid, m.image, m.rec_k, m.rec, m.time, "
       "m.global_cur_wf_size + m.global_cur_nf_size AS in_use_size, "
       "m.global_cur_wf_tot_size + m.global_cur_nf_tot_size AS in_use_tot_size, m.global_cur_wf_size AS wf_size, "
       "m.global_cur_nf_size AS nf_size FROM memory m JOIN (SELECT run_id, image, rec_k, MAX(row_nr) AS last_row "
       "FROM memory GROUP BY run_id, image, rec_k) b ON b.run_id = m.run_id AND b.last_row = m.row_nr"},
  };
  return list;
}

}  // namespace

std::span<const view_def> views() { return all_views(); }

void create_views(database& db) {
  // Views read each other, so they are replaced last to first and created
  // first to last.
  const auto& list = all_views();
  for (auto it = list.rbegin(); it != list.rend(); ++it) db.exec("DROP VIEW IF EXISTS " + it->name);
  for (const view_def& v : list) db.exec("CREATE VIEW " + v.name + " AS " + v.select);
}

std::string views_markdown() {
  std::string out;
  for (const view_def& v : all_views()) {
    out += "- `" + v.name + "`: " + v.doc + ".\n\n  ```sql\n  " + v.example + "\n  ```\n";
  }
  return out;
}

}  // namespace kivdb
