// kivdb load: a converted run into SQLite (by default kiv.<runid>.db beside
// the script) or PostgreSQL. Loads never lose a run: a new SQLite file is
// built aside and renamed into place, loads into one database take turns,
// and SIGINT or SIGTERM roll a load back before the program ends.

#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <string>

#include "db/command_output.h"
#include "db/commands.h"
#include "db/db_options.h"
#include "db/load_error.h"
#include "db/loader.h"
#include "db/pending_file.h"
#include "db/stop_signals.h"

namespace kivdb {

namespace {

constexpr double bytes_per_mb = 1e6;
constexpr auto progress_interval = std::chrono::milliseconds(500);

struct load_request {
  std::string source;
  std::optional<db_target> target;
  load_options options;
};

load_request parse_args(command_args args) {
  load_request r;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string_view word = args[i];
    if (take_target_option(args, i, r.target) || take_separator_option(args, i, r.options.field_sep, r.options.fun_sep))
      continue;
    if (word == "--allow-cut") {
      r.options.allow_cut = true;
    } else if (word.starts_with("-") || !r.source.empty()) {
      throw std::invalid_argument("unexpected word " + std::string(word));
    } else {
      r.source = word;
    }
  }
  if (r.source.empty()) throw std::invalid_argument("name a trace directory or a kiv.<runid>.sql script");
  return r;
}

// A line on the terminal that rewrites itself; nothing when standard error
// is not a terminal.
class progress_line {
 public:
  progress_line() : shown_(::isatty(STDERR_FILENO) != 0), start_(clock::now()), last_(start_) {}
  void update(std::uint64_t bytes, std::uint64_t rows) {
    if (!shown_) return;
    const auto now = clock::now();
    if (now - last_ < progress_interval) return;
    last_ = now;
    const double secs = std::chrono::duration<double>(now - start_).count();
    std::fprintf(stderr, "\rkivdb load: %.1f MB, %llu rows, %.0f rows/s ", static_cast<double>(bytes) / bytes_per_mb,
                 static_cast<unsigned long long>(rows), static_cast<double>(rows) / secs);
    written_ = true;
  }
  ~progress_line() {
    if (written_) std::fputs("\n", stderr);
  }

 private:
  using clock = std::chrono::steady_clock;
  bool shown_;
  bool written_ = false;
  clock::time_point start_;
  clock::time_point last_;
};

const char* signal_name(int signal) {
  switch (signal) {
    case SIGINT: return "SIGINT";
    case SIGTERM: return "SIGTERM";
    default: return "a signal";
  }
}

// Loads into the open database; a signal interrupts its statements.
load_totals load_into(std::unique_ptr<database> db, const script_manifest& manifest, const load_options& options,
                      stop_signals& stops) {
  const watching w(stops, *db);
  return load_run(*db, manifest, options);
}

// A SQLite file that is there takes the run beside its own; one that is
// not is built under a temporary name. When another load created the
// same file meanwhile, this run goes into that one, after it.
load_totals load_sqlite(const std::string& file, const script_manifest& manifest, const load_options& options,
                        stop_signals& stops) {
  std::error_code ec;
  const std::filesystem::file_status status = std::filesystem::status(file, ec);
  if (ec && status.type() != std::filesystem::file_type::not_found) throw db_error("cannot open: " + ec.message());
  if (std::filesystem::is_directory(status)) throw db_error("a directory, not a database file");
  if (std::filesystem::exists(status))
    return load_into(open_sqlite(file, sqlite_open::existing), manifest, options, stops);
  pending_file fresh(file);
  stops.remove_on_exit(fresh.path());
  const load_totals totals = load_into(open_sqlite(fresh.path(), sqlite_open::fresh), manifest, options, stops);
  stops.check();
  const bool published = fresh.publish();
  stops.remove_on_exit({});
  if (published) return totals;
  return load_into(open_sqlite(file, sqlite_open::existing), manifest, options, stops);
}

void print_totals(const script_manifest& manifest, const db_target& target, const load_totals& totals, double secs) {
  const bool analyzed = target.engine == engine_kind::postgresql;
  std::printf("kivdb: run %s loaded into %s (%s): %llu files, %llu rows, %.1f MB in %.2f s (%.0f rows/s, %.1f MB/s; rows %.2f s, indexes %.2f s",
              manifest.run_id.c_str(), target_where(target).c_str(), analyzed ? "postgresql" : "sqlite",
              static_cast<unsigned long long>(totals.files), static_cast<unsigned long long>(totals.rows),
              static_cast<double>(totals.bytes) / bytes_per_mb, secs, static_cast<double>(totals.rows) / secs,
              static_cast<double>(totals.bytes) / bytes_per_mb / secs, totals.rows_seconds, totals.index_seconds);
  if (analyzed) std::printf(", statistics %.2f s", totals.analyze_seconds);
  std::printf(")\n");
}

int run_load(const load_request& request, stop_signals& stops) {
  const std::filesystem::path source = request.source;
  const std::filesystem::path script = std::filesystem::is_directory(source) ? find_script(source) : source;
  const script_manifest manifest = read_manifest(script);
  for (const std::string& skipped : manifest.skipped)
    std::fprintf(stderr, "kivdb: %s names %s of another run; not loaded\n", script.c_str(), skipped.c_str());
  const db_target target = request.target.value_or(
      db_target{engine_kind::sqlite, (manifest.dir / ("kiv." + manifest.run_id + ".db")).string()});
  const auto start = std::chrono::steady_clock::now();
  load_totals totals;
  try {
    progress_line progress;
    load_options options = request.options;
    options.progress = [&progress](std::uint64_t bytes, std::uint64_t rows) { progress.update(bytes, rows); };
    options.checkpoint = [&stops] { stops.check(); };
    totals = target.engine == engine_kind::sqlite
                 ? load_sqlite(target.where, manifest, options, stops)
                 : load_into(open_postgres(target.where), manifest, options, stops);
  } catch (const db_error& e) {
    if (stops.received() != 0) throw load_stopped(stops.received());
    std::fprintf(stderr, "kivdb load: %s: %s\n", target_name(target).c_str(), e.what());
    return exit_failure;
  }
  const double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  print_totals(manifest, target, totals, secs);
  return flush_standard_output("load", "; the run is loaded") ? 0 : exit_failure;
}

}  // namespace

int load_command(command_args args) {
  load_request request;
  try {
    request = parse_args(args);
  } catch (const std::invalid_argument& e) {
    std::fprintf(stderr, "kivdb load: %s\n", e.what());
    return exit_usage;
  }
  stop_signals stops;
  try {
    return run_load(request, stops);
  } catch (const load_stopped&) {
    // Reported below.
  } catch (const load_error& e) {
    if (stops.received() == 0) {
      std::fprintf(stderr, "kivdb load: %s\n", e.message().c_str());
      return exit_failure;
    }
  } catch (const std::filesystem::filesystem_error& e) {
    if (stops.received() == 0) {
      std::fprintf(stderr, "kivdb load: %s: %s\n", e.path1().c_str(), e.code().message().c_str());
      return exit_failure;
    }
  }
  std::fprintf(stderr, "kivdb load: stopped by %s; the run was not loaded and the database is as it was\n",
               signal_name(stops.received()));
  std::fflush(stderr);
  stops.end_program();
}

}  // namespace kivdb
