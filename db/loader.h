#pragma once

// Loads one converted run into a database: every table file the import
// script names, in its order, as one transaction. The run's earlier rows
// go first, so loading a run again replaces it; indexes and views are
// built after the rows are in.

#include <cstdint>
#include <functional>

#include "db/database.h"
#include "db/script_manifest.h"

namespace kivdb {

struct load_options {
  char field_sep = ';';
  char fun_sep = ';';
  // Loads a run that is not whole (a header without its End marker or its
  // end, memory rows that stop short of the End marker) instead of
  // refusing it.
  bool allow_cut = false;
  // Called after every batch of rows with the bytes read so far and the
  // rows stored.
  std::function<void(std::uint64_t bytes, std::uint64_t rows)> progress;
  // Called between the load's steps (batches, files, indexes) and before
  // the commit; throws to stop the load, which is rolled back.
  std::function<void()> checkpoint;
};

struct load_totals {
  std::uint64_t files = 0;
  std::uint64_t rows = 0;
  std::uint64_t bytes = 0;
  double rows_seconds = 0;   // reading and storing the rows
  double index_seconds = 0;    // building the indexes and views, and the commit
  double analyze_seconds = 0;  // the planner's statistics (PostgreSQL)
};

// Throws load_error for bad input and db_error for the engine's failures
// (among them a table of kivdb's name that lacks columns kivdb needs);
// either way the transaction is rolled back and the database is as before.
load_totals load_run(database& db, const script_manifest& manifest, const load_options& options);

// Deletes every row of the run (no transaction of its own).
void delete_run(database& db, const std::string& run_id);

}  // namespace kivdb
