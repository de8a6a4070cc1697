// kivdb load: a converted run into SQLite (by default kiv.<runid>.db beside
// the script) or PostgreSQL.

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <string>

#include "db/commands.h"
#include "db/db_options.h"
#include "db/load_error.h"
#include "db/loader.h"

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

int run_load(const load_request& request) {
  const std::filesystem::path source = request.source;
  const std::filesystem::path script = std::filesystem::is_directory(source) ? find_script(source) : source;
  const script_manifest manifest = read_manifest(script);
  for (const std::string& skipped : manifest.skipped)
    std::fprintf(stderr, "kivdb: %s names %s of another run; not loaded\n", script.c_str(), skipped.c_str());
  const db_target target = request.target.value_or(
      db_target{engine_kind::sqlite, (manifest.dir / ("kiv." + manifest.run_id + ".db")).string()});
  // A SQLite file this load creates goes again when the load fails.
  const bool new_file = target.engine == engine_kind::sqlite && !std::filesystem::exists(target.where);
  const auto start = std::chrono::steady_clock::now();
  load_totals totals;
  try {
    std::unique_ptr<database> db = open_database(target);
    progress_line progress;
    load_options options = request.options;
    options.progress = [&progress](std::uint64_t bytes, std::uint64_t rows) { progress.update(bytes, rows); };
    totals = load_run(*db, manifest, options);
  } catch (...) {
    std::error_code ec;
    if (new_file) std::filesystem::remove(target.where, ec);
    throw;
  }
  const double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::printf("kivdb: run %s loaded into %s (%s): %llu files, %llu rows, %.1f MB in %.2f s (%.0f rows/s, %.1f MB/s; rows %.2f s, indexes %.2f s)\n",
              manifest.run_id.c_str(), target.where.c_str(), target.engine == engine_kind::sqlite ? "sqlite" : "postgresql",
              static_cast<unsigned long long>(totals.files), static_cast<unsigned long long>(totals.rows),
              static_cast<double>(totals.bytes) / bytes_per_mb, secs, static_cast<double>(totals.rows) / secs,
              static_cast<double>(totals.bytes) / bytes_per_mb / secs, totals.rows_seconds, totals.index_seconds);
  return 0;
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
  try {
    return run_load(request);
  } catch (const load_error& e) {
    std::fprintf(stderr, "kivdb load: %s\n", e.message().c_str());
  } catch (const db_error& e) {
    std::fprintf(stderr, "kivdb load: database error: %s\n", e.what());
  } catch (const std::filesystem::filesystem_error& e) {
    std::fprintf(stderr, "kivdb load: %s\n", e.what());
  }
  return exit_failure;
}

}  // namespace kivdb
