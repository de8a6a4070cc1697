// kivdb report: the terminal summary of a loaded run or of a converted trace
// directory, and on request its JSON summary and its self-contained HTML
// page.
#include <cstdio>
#include <iostream>
#include <stdexcept>

#include "db/command_output.h"
#include "db/commands.h"
#include "db/db_options.h"
#include "db/load_error.h"
#include "report/command_support.h"
#include "report/renderers.h"
#include "report/run_source.h"

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
  bool stacks = false;  // each entry's stack beneath it on the terminal
};

report_options parse(command_args args) {
  report_options o;
  std::string top;
  for (std::size_t i = 0; i < args.size(); ++i) {
    if (take_target_option(args, i, o.target) || take_value_option(args, i, "--run", o.run_id) ||
        take_value_option(args, i, "-o", o.html_path) || take_value_option(args, i, "--json", o.json_path) ||
        take_separator_option(args, i, o.separators.field_sep, o.separators.fun_sep))
      continue;
    if (std::string_view(args[i]) == "--stacks") {
      o.stacks = true;
      continue;
    }
    if (take_value_option(args, i, "--top", top)) {
      o.top = report::parse_top(top);
      continue;
    }
    if (args[i][0] == '-' || !o.directory.empty())
      throw std::invalid_argument(std::string("unknown argument ") + args[i]);
    o.directory = args[i];
  }
  if (o.target.has_value() == !o.directory.empty())
    throw std::invalid_argument("name a converted trace directory, or a database with --db FILE or --pg CONNINFO");
  report::check_distinct_outputs(o.html_path, o.json_path);
  return o;
}

// Where the run to report is.
report::run_source source_of(const report_options& o) {
  report::run_source source = o.directory.empty() ? report::run_source::of_database(*o.target, o.run_id)
                                                  : report::run_source::of_directory(o.directory);
  source.run_id = o.run_id;
  source.separators = o.separators;
  return source;
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
    const report::report_data data = report::build_report(source_of(options));
    report::write_text(std::cout, data, options.top, options.stacks);
    if (!options.json_path.empty())
      report::write_checked(options.json_path, [&](std::ostream& out) { report::write_json(out, data, options.top); });
    if (!options.html_path.empty()) {
      report::write_checked(options.html_path, [&](std::ostream& out) { report::write_html(out, data, options.top); });
      std::cout << "\nReport: " << options.html_path << '\n';
    }
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
