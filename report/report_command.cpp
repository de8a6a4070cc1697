// kivdb report: the terminal summary of a loaded run or of a converted trace
// directory, and on request its JSON summary and its self-contained HTML
// page.
#include <charconv>
#include <cstdio>
#include <iostream>
#include <sstream>
#include <stdexcept>

#include "db/command_output.h"
#include "db/commands.h"
#include "db/db_options.h"
#include "db/load_error.h"
#include "report/directory_rows.h"
#include "report/renderers.h"
#include "report/report_builder.h"

namespace kivdb {

namespace {

constexpr std::size_t default_top = 10;

struct report_options {
  std::optional<db_target> target;
  std::string directory;  // a converted trace directory or its script
  report::directory_options separators;
  std::string run_id;
  std::string html_path;
  std::string json_path;
  std::size_t top = default_top;
};

std::size_t parse_top(const std::string& text) {
  std::size_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size() || value == 0)
    throw std::invalid_argument("--top needs a positive number, not \"" + text + "\"");
  return value;
}

report_options parse(command_args args) {
  report_options o;
  std::string top;
  for (std::size_t i = 0; i < args.size(); ++i) {
    if (take_target_option(args, i, o.target) || take_value_option(args, i, "--run", o.run_id) ||
        take_value_option(args, i, "-o", o.html_path) || take_value_option(args, i, "--json", o.json_path) ||
        take_separator_option(args, i, o.separators.field_sep, o.separators.fun_sep))
      continue;
    if (take_value_option(args, i, "--top", top)) {
      o.top = parse_top(top);
      continue;
    }
    if (args[i][0] == '-' || !o.directory.empty())
      throw std::invalid_argument(std::string("unknown argument ") + args[i]);
    o.directory = args[i];
  }
  if (o.target.has_value() == !o.directory.empty())
    throw std::invalid_argument("name a converted trace directory, or a database with --db FILE or --pg CONNINFO");
  return o;
}

// The run to report: the one named, or the only one the database holds.
std::string choose_run(database& db, const std::string& wanted) {
  const auto runs = report::loaded_runs(db);
  std::string list;
  for (const auto& r : runs) list += (list.empty() ? "" : ", ") + r;
  if (!wanted.empty()) {
    for (const auto& r : runs)
      if (r == wanted) return r;
    throw db_error("run " + wanted + " is not in the database (runs: " +
                   (list.empty() ? "none" : list) + ")");
  }
  if (runs.size() == 1) return runs.front();
  if (runs.empty()) throw db_error("the database holds no run; load one with kivdb load");
  throw db_error("the database holds several runs (" + list + "); choose one with --run");
}

// The database's failures name the database; the others (files written)
// name their file themselves.
std::unique_ptr<database> open_report_database(const db_target& target) {
  try {
    auto db = open_database(target);
    require_loaded_runs(*db);
    return db;
  } catch (const db_error& e) {
    throw std::runtime_error(target_name(target) + ": " + e.what());
  }
}

// The report of a converted directory, read straight from its table files,
// or of a run of a database.
report::report_data build(const report_options& options) {
  if (!options.directory.empty()) {
    const auto rows = report::directory_rows(options.directory, options.separators);
    if (!options.run_id.empty() && options.run_id != rows->run_id())
      throw std::runtime_error("run " + options.run_id + " is not the run of " + options.directory + " (run " +
                               rows->run_id() + ")");
    return report::build_report(*rows);
  }
  auto db = open_report_database(*options.target);
  const std::string run = choose_run(*db, options.run_id);
  try {
    return report::build_report(*db, run);
  } catch (const db_error& e) {
    throw std::runtime_error(target_name(*options.target) + ": " + e.what());
  }
}

// The whole output is rendered first: a file is written in one go, and a
// failure names its cause.
template <typename Render>
void write_file(const std::string& path, const Render& render) {
  std::ostringstream out;
  render(out);
  write_output_file(path, out.view());
}

void write_reports(const report_options& options, const report::report_data& data) {
  report::write_text(std::cout, data, options.top);
  if (!options.json_path.empty())
    write_file(options.json_path, [&](std::ostream& out) { report::write_json(out, data, options.top); });
  if (!options.html_path.empty()) {
    write_file(options.html_path, [&](std::ostream& out) { report::write_html(out, data, options.top); });
    std::cout << "\nReport: " << options.html_path << '\n';
  }
}

}  // namespace

int report_command(command_args args) {
  report_options options;
  try {
    options = parse(args);
  } catch (const std::invalid_argument& e) {
    std::fprintf(stderr, "kivdb report: %s\n", e.what());
    return exit_usage;
  }
  try {
    const report::report_data data = build(options);
    write_reports(options, data);
    std::cout.flush();
    return flush_standard_output("report") ? 0 : exit_failure;
  } catch (const load_error& e) {
    std::fprintf(stderr, "kivdb report: %s\n", e.message().c_str());
    return exit_failure;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "kivdb report: %s\n", e.what());
    return exit_failure;
  }
}

}  // namespace kivdb
