#include "db/loader.h"

#include <chrono>
#include <map>

#include "db/image_splitter.h"
#include "db/load_error.h"
#include "db/record_parser.h"
#include "db/row_pipeline.h"
#include "db/run_files.h"
#include "db/views.h"

namespace kivdb {

namespace {

using clock = std::chrono::steady_clock;

class run_loader {
 public:
  run_loader(database& db, const script_manifest& m, const load_options& o, const image_plan& plan)
      : db_(db), m_(m), o_(o), plan_(plan), splitter_(plan) {}

  // The tables whose rows label others' go first; each file keeps its
  // place in the script for the export. A run that is not whole stops the
  // load as soon as its memory rows show it, unless it is allowed.
  load_totals run() {
    bool memory_checked = false;
    for (const manifest_file* f : files_in_label_order(m_)) {
      if (!memory_checked && f->table != "memory") {
        check_whole(plan_.findings(splitter_.last_memory_recs()));
        memory_checked = true;
      }
      load_file(static_cast<std::size_t>(f - m_.files.data()), *f);
    }
    if (!memory_checked) check_whole(plan_.findings(splitter_.last_memory_recs()));
    const std::vector<std::optional<std::string>> params = {m_.run_id, m_.text, std::string(1, o_.field_sep),
                                                             std::string(1, o_.fun_sep)};
    db_.query("INSERT INTO " + std::string(loads_table) + " (run_id, script, field_sep, fun_sep) VALUES (?, ?, ?, ?)",
              params);
    return totals_;
  }

 private:
  void check_whole(const std::vector<cut_finding>& findings) const {
    if (findings.empty() || o_.allow_cut) return;
    throw load_error(m_.script.string(), 0,
                     "run " + m_.run_id + " is cut short (load it anyway with --allow-cut): " + describe_cut(findings));
  }

  void load_file(std::size_t order, const manifest_file& f) {
    const std::filesystem::path path = m_.dir / f.file_name;
    const std::unique_ptr<mapped_file> file = map_table_file(m_, f);
    const table_def& table = *find_table(f.table);
    std::int64_t& next_row = next_row_.try_emplace(f.table, rows_so_far(f.table)).first->second;
    const std::int64_t first_row = next_row;
    std::vector<flowdata_entry> entries;
    record_parser parser(table, o_.field_sep, o_.fun_sep, m_.run_id);
    auto sink = db_.bulk_insert(table);
    const std::size_t width = table.row_width();
    const pipeline_input input{file->data(), file->data() + file->size(), first_row, path.string(),
                               splitter_.labeller(table)};
    const std::uint64_t bytes_before = totals_.bytes;
    next_row += parse_and_store(
        parser, input, entries,
        [&](std::span<const field> rows) {
          sink->add(rows);
          totals_.rows += rows.size() / width;
        },
        [&](std::uint64_t bytes) {
          if (o_.progress) o_.progress(bytes_before + bytes, totals_.rows);
        });
    sink->finish();
    sink.reset();
    if (!entries.empty()) store_entries(entries);
    totals_.bytes += file->size();
    ++totals_.files;
    const std::vector<std::optional<std::string>> params = {
        m_.run_id, std::to_string(order), f.table, std::to_string(f.number), std::to_string(first_row),
        std::to_string(next_row - first_row)};
    db_.query("INSERT INTO " + std::string(files_table) +
                  " (run_id, file_order, table_name, file_nr, first_row, row_count) VALUES (?, ?, ?, ?, ?, ?)",
              params);
  }

  // A table's rows are numbered on from those of the runs loaded before:
  // row_nr is unique in the table and new rows go after all others.
  std::int64_t rows_so_far(const std::string& table) {
    const std::vector<std::optional<std::string>> params = {table};
    const result r = db_.query("SELECT COALESCE(MAX(first_row + row_count), 0) FROM " + std::string(files_table) +
                                   " WHERE table_name = ?",
                               params);
    return std::stoll(r.rows.at(0).at(0).value_or("0"));
  }

  void store_entries(const std::vector<flowdata_entry>& entries) {
    auto sink = db_.bulk_insert(flowdata_symbols_table());
    std::vector<field> rows;
    rows.reserve(entries.size() * (flowdata_symbols_table().stored_count() + 1));
    for (const flowdata_entry& e : entries) {
      rows.push_back({m_.run_id, 0, false});
      rows.push_back({{}, e.entry_nr, false});
      rows.push_back({e.kind, 0, false});
      rows.push_back({e.declaration, 0, false});
      rows.push_back({{}, e.row_nr, false});
    }
    sink->add(rows);
    sink->finish();
  }

  database& db_;
  const script_manifest& m_;
  const load_options& o_;
  const image_plan& plan_;
  image_splitter splitter_;
  std::map<std::string, std::int64_t> next_row_;
  load_totals totals_;
};

// Tables an earlier kivdb made have no image column, and CREATE TABLE IF
// NOT EXISTS keeps them as they are.
void require_image_columns(database& db) {
  try {
    db.query("SELECT " + std::string(image_column) + " FROM memory WHERE 1 = 0");
  } catch (const db_error&) {
    throw db_error("the database's tables were made by an earlier kivdb, without the image column of this one; "
                   "load the run into a new database");
  }
}

}  // namespace

void delete_run(database& db, const std::string& run_id) {
  const std::vector<std::optional<std::string>> params = {run_id};
  for (const std::string& table : run_tables()) db.query("DELETE FROM " + quote_name(table) + " WHERE run_id = ?", params);
}

load_totals load_run(database& db, const script_manifest& manifest, const load_options& options) {
  const image_plan plan = read_image_plan(manifest, options.field_sep, options.fun_sep);
  // What the "runs" and "marker" tables alone tell stops the load before
  // anything is stored; the memory rows tell the rest as they are loaded.
  if (!options.allow_cut) {
    std::vector<std::optional<std::uint64_t>> as_ended;
    for (const process_image& image : plan.images()) as_ended.emplace_back(image.end_rec);
    const std::vector<cut_finding> findings = plan.findings(as_ended);
    if (!findings.empty())
      throw load_error(manifest.script.string(), 0,
                       "run " + manifest.run_id + " is cut short (load it anyway with --allow-cut): " +
                           describe_cut(findings));
  }
  db.prepare_bulk_load();
  db.begin();
  try {
    db.create_schema();
    delete_run(db, manifest.run_id);
    const auto start = clock::now();
    require_image_columns(db);
    load_totals totals = run_loader(db, manifest, options, plan).run();
    const auto rows_done = clock::now();
    const result runs = db.query("SELECT COUNT(*) FROM " + std::string(loads_table));
    const bool several_runs = std::stoll(runs.rows.at(0).at(0).value_or("0")) > 1;
    for (const std::string& sql : index_sql(db.engine(), several_runs)) db.exec(sql);
    create_views(db);
    db.commit();
    totals.rows_seconds = std::chrono::duration<double>(rows_done - start).count();
    totals.index_seconds = std::chrono::duration<double>(clock::now() - rows_done).count();
    return totals;
  } catch (...) {
    try {
      db.rollback();
    } catch (const db_error&) {
      // The engine may have ended the transaction itself; the first error
      // is the one to report.
    }
    throw;
  }
}

}  // namespace kivdb
