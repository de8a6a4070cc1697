#include "report/run_source.h"

#include <unistd.h>

#include <cstdlib>

#include "db/load_error.h"
#include "db/loader.h"
#include "report/report_builder.h"

namespace kivdb::report {

namespace fs = std::filesystem;

namespace {

// A SQLite file of its own in the temporary directory, removed with the
// object.
class scratch_database {
 public:
  scratch_database() {
    std::string pattern = (fs::temp_directory_path() / "kivdb_run_XXXXXX").string();
    const int fd = ::mkstemp(pattern.data());
    if (fd < 0) throw db_error("cannot create a temporary database in " + fs::temp_directory_path().string());
    ::close(fd);
    path_ = pattern;
  }
  ~scratch_database() {
    std::error_code ec;
    fs::remove(path_, ec);
    fs::remove(path_.string() + "-journal", ec);
  }
  scratch_database(const scratch_database&) = delete;
  scratch_database& operator=(const scratch_database&) = delete;
  const fs::path& path() const { return path_; }

 private:
  fs::path path_;
};

// A converted directory's run, loaded into a database of its own for the
// time of the report: the loader's checks and figures, and a run cut short
// is reported as such rather than refused.
report_data directory_report(const run_source& source, const report_settings& settings) {
  if (!fs::exists(source.directory))
    throw load_error(source.directory.string(), 0, "no such trace directory or script");
  const fs::path script = fs::is_directory(source.directory) ? find_script(source.directory) : source.directory;
  const script_manifest manifest = read_manifest(script);
  if (!source.run_id.empty() && source.run_id != manifest.run_id)
    throw db_error("run " + source.run_id + " is not the run of " + source.directory.string() + " (run " +
                   manifest.run_id + ")");
  scratch_database scratch;
  const auto db = open_sqlite(scratch.path().string());
  load_options options;
  options.field_sep = source.field_sep;
  options.fun_sep = source.fun_sep;
  options.allow_cut = true;
  load_run(*db, manifest, options);
  return build_report(*db, manifest.run_id, settings);
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
  if (target.engine == engine_kind::sqlite && !fs::exists(target.where))
    throw db_error("no database " + target.where);
  const auto db = open_database(target);
  return build_report(*db, choose_run(*db, source.run_id), settings);
}

}  // namespace kivdb::report
