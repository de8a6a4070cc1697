#include "report/run_source.h"

#include "db/load_error.h"
#include "report/report_builder.h"

namespace kivdb::report {

namespace fs = std::filesystem;

namespace {

// A converted directory's run, read straight from its table files.
report_data directory_report(const run_source& source, const report_settings& settings) {
  if (!fs::exists(source.directory))
    throw load_error(source.directory.string(), 0, "no such trace directory or script");
  const auto rows = directory_rows(source.directory, source.separators);
  if (!source.run_id.empty() && source.run_id != rows->run_id())
    throw db_error("run " + source.run_id + " is not the run of " + source.directory.string() + " (run " +
                   rows->run_id() + ")");
  return build_report(*rows, settings);
}

}  // namespace

std::string choose_run(database& db, const std::string& wanted) {
  const auto runs = loaded_runs(db);
  std::string list;
  for (const auto& r : runs) list += (list.empty() ? "" : ", ") + r;
  if (!wanted.empty()) {
    for (const auto& r : runs)
      if (r == wanted) return r;
    throw db_error("run " + wanted + " is not in the database (runs: " + (list.empty() ? "none" : list) + ")");
  }
  if (runs.size() == 1) return runs.front();
  if (runs.empty()) throw db_error("the database holds no run; load one with kivdb load");
  throw db_error("the database holds several runs (" + list + "); choose one with --run");
}

report_data build_report(const run_source& source, const report_settings& settings) {
  if (!source.database) return directory_report(source, settings);
  const db_target& target = *source.database;
  // The database's own failures name it; choosing the run names the run.
  std::unique_ptr<database> db;
  try {
    db = open_database(target);
    require_loaded_runs(*db);
  } catch (const db_error& e) {
    throw db_error(target_name(target) + ": " + e.what());
  }
  const std::string run = choose_run(*db, source.run_id);
  try {
    return build_report(*db, run, settings);
  } catch (const db_error& e) {
    throw db_error(target_name(target) + ": " + e.what());
  }
}

}  // namespace kivdb::report
