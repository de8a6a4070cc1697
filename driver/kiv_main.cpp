#include "driver/kiv_main.h"

#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <exception>
#include <iostream>
#include <string>

#include "driver/dirhandler.h"
#include "driver/options.h"
#include "driver/process_file.h"
#include "driver/progress_line.h"
#include "output/csv_file_sequence.h"
#include "output/out_stream.h"
#include "output/sql_script.h"
#include "runtime/log.h"
#include "runtime/settings.h"
#include "runtime/version.h"

namespace {

constexpr const char* program_name = "kiv";
constexpr int program_name_length = 3;
constexpr int version_flags = 0;
constexpr const char* header_fragment = "kivhdr";
constexpr const char* default_description = "change this to a meaningful description";
constexpr const char* current_dir = ".";
constexpr const char* table_extension = "csv";
constexpr const char* script_extension = "sql";

// The table numbering and the import script shared by the conversions of one
// directory run or single-file run. The script is closed before the
// numbering goes.
struct run_tables {
  csv_file_sequence sequence{table_extension};
  sql_script script{script_extension};
};

void start_runtime() {
  log_set_progname(program_name, program_name_length);
  std::set_terminate(kiv_terminate_handler);
}

// A table that outgrows the file size limit must not kill the program: the
// write then fails like one on a full disk, the file is reported as
// incomplete and the conversion goes on.
void survive_file_size_limit() { std::signal(SIGXFSZ, SIG_IGN); }

void apply_settings(const kiv_options& opts) {
  debug_level = opts.debug_level;
  data_sep = opts.data_sep;
  fun_sep = opts.fun_sep;
}

// Both runs return false when a conversion stopped at data it cannot frame:
// the program then ends with a failure status, after the tables and the
// script of the run have been closed on the way out.
bool run_directory(const std::string& dir, const std::string& description, std::int64_t max_size,
                   read_progress* progress) {
  dirhandler handler(dir, header_fragment);
  handler.read_dir();
  run_tables tables;
  bool first = true;
  for (const std::string& name : handler.names()) {
    std::cout << "Processing: " << name << std::endl;
    const int result =
        process_file(&tables.sequence, &tables.script, dir, name, description, first, max_size, progress);
    if (result == process_stopped) return false;
    if (result == process_failed) std::cout << ">>Processing failed..." << std::endl;
    first = false;
  }
  return true;
}

// A single header is named relative to the current directory; its tables are
// numbered and scripted apart from any directory run.
bool run_single(const std::string& header, const std::string& description, std::int64_t max_size,
                read_progress* progress) {
  run_tables tables;
  return process_file(&tables.sequence, &tables.script, current_dir, header, description, true, max_size,
                      progress) != process_stopped;
}

}  // namespace

void usage() {
  std::cout << "-H <header file> header file to use to read in kiv trace" << std::endl
            << "-E <error file> file place debug output into (redirects stderr/cerr)" << std::endl
            << "-vV prints version" << std::endl
            << "-d  debug level 1" << std::endl
            << "-D  debug level 2" << std::endl
            << "-sd <sep> record separation character to used in the csv output files ','" << std::endl
            << "-sf <sep> seperation between object and function (default '@')" << std::endl
            << "-R <directory> directory containing kiv trace files" << std::endl
            << "-T \"description of run\"" << std::endl;
}

void kiv_terminate_handler() {
  out_stream::close_all();
  std::cerr << "Some error occurred: debug and break at kiv_terminate_handler" << std::endl;
  std::abort();
}

int kiv_main(int argc, char** argv) {
  const kiv_options opts = parse_options(argc, argv);
  switch (opts.what) {
    case kiv_options::action::start_only: start_runtime(); return EXIT_SUCCESS;
    case kiv_options::action::usage: usage(); return EXIT_SUCCESS;
    case kiv_options::action::usage_and_version: usage(); print_version(version_flags); return EXIT_SUCCESS;
    case kiv_options::action::version: print_version(version_flags); return EXIT_SUCCESS;
    case kiv_options::action::no_error_file: return EXIT_FAILURE;
    case kiv_options::action::run: break;
  }
  apply_settings(opts);
  start_runtime();
  survive_file_size_limit();
  const terminal_progress progress;
  const std::string description = opts.description.value_or(default_description);
  if (opts.trace_dir && !run_directory(*opts.trace_dir, description, opts.max_size, progress.observer()))
    return EXIT_FAILURE;
  if (opts.header_file && !run_single(*opts.header_file, description, opts.max_size, progress.observer()))
    return EXIT_FAILURE;
  // Every table and the script are closed by now: a file that could not be
  // created or did not take all its bytes has been reported.
  return out_stream::lost_output() ? EXIT_FAILURE : EXIT_SUCCESS;
}
