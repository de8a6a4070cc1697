#pragma once

// Where a report's run comes from: a run of a database kivdb load filled,
// or a converted trace directory (or its kiv.<runid>.sql). kivdb report and
// kivdb diff open their runs here, so both show the same figures of a run.

#include <filesystem>
#include <optional>
#include <string>

#include "db/database.h"
#include "report/directory_rows.h"
#include "report/report_model.h"
#include "report/report_settings.h"

namespace kivdb::report {

struct run_source {
  // A run of a database: the database, and the run (empty: its only run).
  std::optional<db_target> database;
  std::string run_id;
  // Otherwise a converted directory or its script, and the separators it
  // was converted with; a run id given must be its run's.
  std::filesystem::path directory;
  directory_options separators;

  static run_source of_database(const db_target& target, std::string run_id = {}) {
    run_source s;
    s.database = target;
    s.run_id = std::move(run_id);
    return s;
  }
  static run_source of_directory(std::filesystem::path directory) {
    run_source s;
    s.directory = std::move(directory);
    return s;
  }
};

// The run of the database to report: the one named, or the only one it
// holds. Throws db_error naming the runs it holds otherwise.
std::string choose_run(database& db, const std::string& wanted);

// The report model of the source's run. Throws db_error for a database or
// run that is not there, load_error for a directory whose files are not
// what kiv writes.
report_data build_report(const run_source& source, const report_settings& settings = {});

}  // namespace kivdb::report
