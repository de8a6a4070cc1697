// kivdb diff: a baseline run and a new run compared, on the terminal and on
// request as JSON and as a page; thresholds on the change of the summary's
// figures make it fail, for CI.
#include <cstdio>
#include <iostream>
#include <stdexcept>
#include <vector>

#include "db/command_output.h"
#include "db/commands.h"
#include "db/db_options.h"
#include "db/load_error.h"
#include "report/command_support.h"
#include "report/diff_compare.h"
#include "report/diff_renderers.h"
#include "report/diff_threshold.h"
#include "report/run_source.h"

namespace kivdb {

namespace {

constexpr std::size_t default_top = 10;
constexpr std::size_t compared_runs = 2;
constexpr std::string_view run_words = "a trace directory, or --db FILE | --pg CONNINFO [--run ID]";

struct diff_options {
  std::vector<report::run_source> runs;  // the baseline, then the new run
  std::vector<report::threshold> thresholds;
  std::string html_path;
  std::string json_path;
  std::size_t top = default_top;
};

// "--run ID" names the run of the database named last; after a database
// that has its run already, it names the next run of that database.
void take_run(diff_options& o, const std::string& id) {
  if (o.runs.empty() || !o.runs.back().database)
    throw std::invalid_argument("--run " + id + " needs a database before it (--db FILE or --pg CONNINFO)");
  if (!o.runs.back().run_id.empty()) o.runs.push_back(report::run_source::of_database(*o.runs.back().database));
  o.runs.back().run_id = id;
}

// The options that shape the output and the verdict: -o, --json, --top and
// --fail-if.
bool take_setting(command_args args, std::size_t& i, diff_options& o) {
  std::string value;
  if (take_value_option(args, i, "-o", o.html_path) || take_value_option(args, i, "--json", o.json_path)) return true;
  if (take_value_option(args, i, "--top", value)) {
    o.top = report::parse_top(value);
    return true;
  }
  if (!take_value_option(args, i, "--fail-if", value)) return false;
  o.thresholds.push_back(report::parse_threshold(value));
  return true;
}

diff_options parse(command_args args) {
  diff_options o;
  report::directory_options separators;
  for (std::size_t i = 0; i < args.size(); ++i) {
    std::optional<db_target> target;
    std::string run;
    if (take_target_option(args, i, target)) {
      o.runs.push_back(report::run_source::of_database(*target));
    } else if (take_value_option(args, i, "--run", run)) {
      take_run(o, run);
    } else if (!take_setting(args, i, o) && !take_separator_option(args, i, separators.field_sep, separators.fun_sep)) {
      if (args[i][0] == '-') throw std::invalid_argument(std::string("unknown argument ") + args[i]);
      o.runs.push_back(report::run_source::of_directory(args[i]));
    }
  }
  if (o.runs.size() != compared_runs)
    throw std::invalid_argument("name two runs, the baseline and then the new one, each " + std::string(run_words) +
                                " (" + std::to_string(o.runs.size()) + " named)");
  for (report::run_source& run : o.runs) run.separators = separators;
  report::check_distinct_outputs(o.html_path, o.json_path);
  return o;
}

// The report model of one side; a failure names the side.
report::report_data build_side(const char* side, const report::run_source& source) {
  try {
    return report::build_report(source);
  } catch (const load_error& e) {
    throw std::runtime_error(std::string(side) + " run: " + e.message());
  } catch (const std::exception& e) {
    throw std::runtime_error(std::string(side) + " run: " + e.what());
  }
}

std::vector<report::threshold_outcome> judge(const diff_options& o, const report::diff_data& d) {
  std::vector<report::threshold_outcome> outcomes;
  for (const report::threshold& t : o.thresholds)
    for (const report::figure_change& f : d.figures)
      if (f.figure == t.figure) outcomes.push_back({t, f, report::passes(t, f)});
  return outcomes;
}

int run_diff(const diff_options& o) {
  const report::report_data base = build_side("base", o.runs[0]);
  const report::report_data current = build_side("new", o.runs[1]);
  const report::diff_data d = report::compare_runs(base, current);
  const std::vector<report::threshold_outcome> outcomes = judge(o, d);
  report::write_diff_text(std::cout, d, o.top);
  if (!o.json_path.empty())
    report::write_checked(o.json_path, [&](std::ostream& out) { report::write_diff_json(out, d, o.top, outcomes); });
  if (!o.html_path.empty()) {
    report::write_checked(o.html_path, [&](std::ostream& out) { report::write_diff_html(out, d, o.top); });
    std::cout << "\nPage: " << o.html_path << '\n';
  }
  std::cout.flush();
  if (!flush_standard_output("diff")) return exit_failure;
  int status = 0;
  for (const report::threshold_outcome& t : outcomes) {
    if (!t.passed) continue;
    std::fprintf(stderr, "kivdb diff: %s\n", report::passed_line(t.test, t.change).c_str());
    status = exit_failure;
  }
  return status;
}

}  // namespace

int diff_command(command_args args) {
  diff_options options;
  try {
    options = parse(args);
  } catch (const std::invalid_argument& e) {
    std::fprintf(stderr, "kivdb diff: %s\n", e.what());
    return exit_usage;
  }
  try {
    return run_diff(options);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "kivdb diff: %s\n", e.what());
    return exit_failure;
  }
}

}  // namespace kivdb
