// kivdb export: a loaded run written back as kiv's table files and script.

#include <cstdio>
#include <filesystem>
#include <optional>
#include <string>
#include <system_error>

#include "db/command_output.h"
#include "db/commands.h"
#include "db/db_options.h"
#include "db/exporter.h"

namespace kivdb {

namespace {

struct export_request {
  std::optional<db_target> target;
  std::string run_id;
  std::string out_dir;
  bool has_run = false;
};

export_request parse_args(command_args args) {
  export_request r;
  for (std::size_t i = 0; i < args.size(); ++i) {
    if (take_target_option(args, i, r.target)) continue;
    if (take_value_option(args, i, "--run", r.run_id)) {
      r.has_run = true;
      continue;
    }
    if (take_value_option(args, i, "--out", r.out_dir)) continue;
    throw std::invalid_argument("unexpected word " + std::string(args[i]));
  }
  if (!r.target) throw std::invalid_argument("name the database with --db FILE or --pg CONNINFO");
  if (!r.has_run) throw std::invalid_argument("name the run with --run ID");
  if (r.out_dir.empty()) throw std::invalid_argument("name the output directory with --out DIR");
  return r;
}

}  // namespace

int export_command(command_args args) {
  export_request request;
  try {
    request = parse_args(args);
  } catch (const std::invalid_argument& e) {
    std::fprintf(stderr, "kivdb export: %s\n", e.what());
    return exit_usage;
  }
  try {
    // Export reads: a SQLite file that is not there is an error, not a new
    // empty database.
    std::unique_ptr<database> db = open_database(*request.target);
    require_loaded_runs(*db);
    const export_totals t = export_run(*db, request.run_id, request.out_dir);
    std::printf("kivdb: run %s exported to %s: %llu files, %llu rows, %llu bytes\n", request.run_id.c_str(),
                request.out_dir.c_str(), static_cast<unsigned long long>(t.files),
                static_cast<unsigned long long>(t.rows), static_cast<unsigned long long>(t.bytes));
    return flush_standard_output("export") ? 0 : exit_failure;
  } catch (const db_error& e) {
    std::fprintf(stderr, "kivdb export: %s: %s\n", target_name(*request.target).c_str(), e.what());
  } catch (const std::filesystem::filesystem_error& e) {
    std::fprintf(stderr, "kivdb export: %s: %s\n", e.path1().c_str(), e.code().message().c_str());
  } catch (const std::system_error& e) {
    std::fprintf(stderr, "kivdb export: %s\n", e.what());
  }
  return exit_failure;
}

}  // namespace kivdb
