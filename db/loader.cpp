#include "db/loader.h"

#include <algorithm>
#include <chrono>
#include <map>
#include <optional>
#include <set>

#include "db/image_splitter.h"
#include "db/load_error.h"
#include "db/record_parser.h"
#include "db/row_pipeline.h"
#include "db/run_files.h"
#include "db/stack_frames.h"
#include "db/table_reader.h"
#include "db/views.h"

namespace kivdb {

namespace {

using clock = std::chrono::steady_clock;

// Labels "process" rows through the splitter's labeller and notes which
// processes each image has a row of: a process started under a header
// whose row is missing shows a cut "process" table.
class process_row_notes : public row_labeller {
 public:
  process_row_notes(row_labeller& labeller, const table_def& table, process_rows& rows)
      : labeller_(labeller), rows_(rows), process_(stored_index(table, "process_id")), image_(table.stored_count()) {}

  void label(std::span<field> row) override {
    labeller_.label(row);
    const auto image = static_cast<std::size_t>(row[image_].number);
    if (image == 0) return;
    if (rows_.size() < image) rows_.resize(image);
    rows_[image - 1].insert(static_cast<std::uint32_t>(row[process_].number));
  }

 private:
  row_labeller& labeller_;
  process_rows& rows_;
  std::size_t process_, image_;
};

class run_loader {
 public:
  run_loader(database& db, const script_manifest& m, const load_options& o, const image_plan& plan)
      : db_(db), m_(m), o_(o), plan_(plan), splitter_(plan) {}

  // The tables that took rows, the bookkeeping ones among them.
  std::vector<std::string> tables_loaded() const {
    std::vector<std::string> out(loaded_.begin(), loaded_.end());
    out.emplace_back(loads_table);
    out.emplace_back(files_table);
    return out;
  }

  // The tables whose rows label others' go first; each file keeps its
  // place in the script for the export. A run that is not whole stops the
  // load as soon as its memory rows show it, and once every table is read
  // when its "process" rows show it, unless it is allowed.
  load_totals run() {
    bool memory_checked = false;
    for (const manifest_file* f : files_in_label_order(m_)) {
      if (!memory_checked && f->table != "memory") {
        check_whole(plan_.findings(splitter_.last_memory_recs()));
        memory_checked = true;
      }
      load_file(static_cast<std::size_t>(f - m_.files.data()), *f);
    }
    check_whole(plan_.findings(splitter_.last_memory_recs(), &process_rows_));
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
    const table_def& table = *find_table(f.table);
    const std::unique_ptr<table_reader> reader = open_table_file(path, table, f);
    std::int64_t& next_row = next_row_.try_emplace(f.table, rows_so_far(f.table)).first->second;
    const std::int64_t first_row = next_row;
    flowdata_entries entries;
    row_labeller* labeller = splitter_.labeller(table);
    std::optional<process_row_notes> notes;
    if (labeller != nullptr && f.table == "process") labeller = &notes.emplace(*labeller, table, process_rows_);
    next_row += store_rows(table, {*reader, first_row, path.string(), labeller}, entries);
    loaded_.insert(f.table);
    if (!entries.list.empty()) {
      store_entries(entries.list);
      loaded_.insert(flowdata_symbols_table().name);
    }
    totals_.bytes += reader->size();
    ++totals_.files;
    const std::vector<std::optional<std::string>> params = {
        m_.run_id, std::to_string(order), f.table, std::to_string(f.number), std::to_string(first_row),
        std::to_string(next_row - first_row)};
    db_.query("INSERT INTO " + std::string(files_table) +
                  " (run_id, file_order, table_name, file_nr, first_row, row_count) VALUES (?, ?, ?, ?, ?, ?)",
              params);
  }

  std::unique_ptr<table_reader> open_table_file(const std::filesystem::path& path, const table_def& table,
                                                const manifest_file& f) const {
    try {
      return std::make_unique<table_reader>(path.string(), table.form);
    } catch (const input_error& e) {
      throw load_error(m_.script.string(), f.line, "table file " + path.string() + " cannot be read: " + e.what());
    }
  }

  // Parses the file's records and stores them; returns how many.
  std::int64_t store_rows(const table_def& table, const pipeline_input& input, flowdata_entries& entries) {
    record_parser parser(table, o_.field_sep, o_.fun_sep, m_.run_id);
    const std::size_t width = table.row_width();
    const std::uint64_t bytes_before = totals_.bytes;
    try {
      auto sink = db_.bulk_insert(table);
      const std::int64_t rows = parse_and_store(
          parser, input, entries,
          [&](std::span<const field> fields) {
            sink->add(fields);
            totals_.rows += fields.size() / width;
          },
          [&](std::uint64_t bytes) {
            if (o_.progress) o_.progress(bytes_before + bytes, totals_.rows);
            if (o_.checkpoint) o_.checkpoint();
          });
      sink->finish();
      return rows;
    } catch (const db_error& e) {
      if (e.row != 0) throw refused_row(table, input.path, e);
      throw;
    }
  }

  // A row the database refused (a text not valid in its encoding, say):
  // the file and line it came from, found by reading the file again.
  load_error refused_row(const table_def& table, const std::string& path, const db_error& e) const {
    std::uint64_t line = 0;
    try {
      table_reader again(path, table.form);
      record_parser parser(table, o_.field_sep, o_.fun_sep, m_.run_id);
      line = line_of_record(parser, again, e.row);
    } catch (const input_error&) {
      // The file is gone by now; the message names it without a line.
    }
    const std::string where = e.column.empty() ? "" : "field " + e.column + ": ";
    return load_error(path, line, where + e.what());
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
  process_rows process_rows_;
  std::map<std::string, std::int64_t> next_row_;
  std::set<std::string> loaded_;
  load_totals totals_;
};

// Tables an earlier kivdb made have no image column, and CREATE TABLE IF
// NOT EXISTS keeps them as they are.
void require_image_columns(database& db) {
  for (const table_def& t : kiv_tables()) {
    if (!t.per_image) continue;
    const std::vector<std::string> have = db.table_columns(t.name);
    if (std::find(have.begin(), have.end(), image_column) != have.end()) continue;
    throw db_error("table " + t.name + " has no " + std::string(image_column) +
                   " column: the database's tables were made by an earlier kivdb; load the run into a new database");
  }
}

// A table of kivdb's name that another program made (or another kivdb
// with other columns) would take the rows into the wrong columns or refuse
// them with the engine's words; the load names the table and column
// before it writes a row.
void check_tables(database& db) {
  std::vector<const table_def*> tables;
  for (const table_def& t : kiv_tables()) tables.push_back(&t);
  for (const table_def* t : derived_tables()) tables.push_back(t);
  for (const table_def* t : tables) {
    const std::vector<std::string> have = db.table_columns(t->name);
    std::vector<std::string> need;
    for (const column* c : t->stored()) need.push_back(c->name);
    need.emplace_back(row_nr_column);
    for (const std::string& name : need) {
      if (std::find(have.begin(), have.end(), name) == have.end())
        throw db_error("table " + t->name + " lacks column " + name +
                       ": the database was made by another program or another version of kivdb");
    }
  }
}

}  // namespace

void delete_run(database& db, const std::string& run_id) {
  const std::vector<std::optional<std::string>> params = {run_id};
  for (const std::string& table : run_tables()) db.query("DELETE FROM " + quote_name(table) + " WHERE run_id = ?", params);
}

namespace {

double seconds(clock::time_point from, clock::time_point to) { return std::chrono::duration<double>(to - from).count(); }

void checkpoint(const load_options& options) {
  if (options.checkpoint) options.checkpoint();
}

// Indexes and views once the rows are in; a run index on tables keyed by
// row order only when the database holds several runs.
void build_indexes(database& db, const load_options& options) {
  const result runs = db.query("SELECT COUNT(*) FROM " + std::string(loads_table));
  const bool several_runs = std::stoll(runs.rows.at(0).at(0).value_or("0")) > 1;
  for (const std::string& sql : index_sql(db.engine(), several_runs)) {
    checkpoint(options);
    db.exec(sql);
  }
  create_views(db);
}

// Everything of a load between its BEGIN and its COMMIT.
load_totals load_in_transaction(database& db, const script_manifest& manifest, const load_options& options,
                                const image_plan& plan) {
  db.create_schema();
  check_tables(db);
  require_image_columns(db);
  delete_run(db, manifest.run_id);
  const auto start = clock::now();
  run_loader loader(db, manifest, options, plan);
  load_totals totals = loader.run();
  const auto rows_done = clock::now();
  build_indexes(db, options);
  // The frames are read back from the run's hashloc rows through the
  // index just built, a page at a time.
  std::vector<std::string> analyzed = loader.tables_loaded();
  const std::uint64_t frames = store_stack_frames(db, manifest.run_id, options.checkpoint);
  if (frames != 0) analyzed.push_back(frames_table().name);
  const auto indexes_done = clock::now();
  checkpoint(options);
  db.analyze(analyzed);
  totals.rows_seconds = seconds(start, rows_done);
  totals.index_seconds = seconds(rows_done, indexes_done);
  totals.analyze_seconds = seconds(indexes_done, clock::now());
  checkpoint(options);
  return totals;
}

}  // namespace

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
  db.begin_load();
  try {
    load_totals totals = load_in_transaction(db, manifest, options, plan);
    const auto commit_start = clock::now();
    db.commit();
    totals.index_seconds += seconds(commit_start, clock::now());
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
