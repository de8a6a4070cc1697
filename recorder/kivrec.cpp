// kivrec: runs a program with the recording library preloaded, so that its
// heap is traced in kiv's format into <dir>/<runid>, then names the call
// stacks of the trace; on request converts and reports it as well.

#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "recorder/child_process.h"
#include "recorder/launch_checks.h"
#include "recorder/run_report.h"
#include "recorder/stack_follower.h"
#include "recorder/stack_capture.h"
#include "recorder/trace_naming.h"

namespace {

constexpr const char* usage_text =
    "usage: kivrec [options] -- program [arguments...]\n"
    "       kivrec --report FILE.html [options] -- program [arguments...]\n"
    "       kivrec [--debug-dir DIRS] --name RUNDIR\n"
    "Runs program with its heap recorded in kiv's trace format: one header and\n"
    "data files per process image in DIR/ID, converted with: cd DIR && kiv -R ID.\n"
    "Every allocation's call stack is named (function, file:line, object) into\n"
    "the trace: while the program runs, the rest when it has ended; --name\n"
    "names a run directory later.\n"
    "\n"
    "options:\n"
    "  --report FILE        when the program has ended, convert the run with kiv\n"
    "                       (tables in DIR/ID, kiv's output in DIR/ID/kiv.ID.log),\n"
    "                       print its summary and write its HTML page to FILE\n"
    "  --json FILE          ... and its summary as JSON to FILE (either option\n"
    "                       alone converts and reports)\n"
    "  --stacks             ... and each entry of the summary's lists with its\n"
    "                       whole call stack\n"
    "  --dir DIR            trace directory (default: the current directory)   KIVREC_DIR\n"
    "  --runid ID           run id: 1 to 9 of A-Z a-z 0-9 _ . -                KIVREC_RUNID\n"
    "                       (default: the pid)\n"
    "  --append             add to a run directory that already holds a trace\n"
    "  --size KB            data file size limit in KiB (default 4096)         KIVREC_SIZE\n"
    "  --address-bytes N    4 or 8 bytes per address (default 8)               KIVREC_ADDRESS_BYTES\n"
    "  --mark-signal N      signal that writes a marker, 0 for none            KIVREC_MARK_SIGNAL\n"
    "                       (default 12, SIGUSR2)\n"
    "  --threads-as-processes  each thread is a process of its own in the      KIVREC_THREADS=process\n"
    "                       trace (its id is the thread id)\n"
    "  --library PATH       the recording library (default: libkivrec.so       KIVREC_LIBRARY\n"
    "                       beside kivrec, else in ../lib/kiv from it)\n"
    "  --depth N            frames kept per stack, 1 to 256 (default 64)      KIVREC_DEPTH\n"
    "  --debug-dir DIRS     directories (':'-separated) searched for separate  KIVREC_DEBUG_PATH\n"
    "                       debug files before /usr/lib/debug\n"
    "  --name RUNDIR        name the stacks of a recorded run directory (one\n"
    "                       that kivrec could not name: still running, killed)\n"
    "  --quiet              no line about where the trace goes\n"
    "  --help               this text\n";

struct launch {
  std::string dir = ".";
  std::string runid;
  std::string library;
  std::string debug_dirs;
  std::string name_dir;  // --name: only name this run directory
  kivrec::report_request report;
  bool quiet = false;
  bool append = false;
  std::vector<std::pair<std::string, std::string>> env;  // further KIVREC_* settings
  int program = 0;  // index of the program in argv
};

int fail(const std::string& message) {
  std::fprintf(stderr, "kivrec: %s\n%s", message.c_str(), usage_text);
  return 2;
}

// One line and status 2 for a start that would break a later step.
int refuse(const std::string& message) {
  std::fprintf(stderr, "kivrec: %s\n", message.c_str());
  return 2;
}

bool all_digits(std::string_view text) {
  return !text.empty() && text.find_first_not_of("0123456789") == std::string_view::npos;
}

// The library next to this executable, as the build tree has it; else where
// an installation puts it (KIVREC_INSTALLED_LIBRARY_DIR, relative to the
// folder kivrec is installed in).
std::string default_library() {
  constexpr const char* library = "libkivrec.so";
  char self[PATH_MAX];
  const ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
  if (n <= 0) return library;
  const std::string path(self, static_cast<std::size_t>(n));
  const std::string dir = path.substr(0, path.rfind('/') + 1);
  if (::access((dir + library).c_str(), F_OK) == 0) return dir + library;
  return dir + KIVREC_INSTALLED_LIBRARY_DIR + "/" + library;
}

// Parses the options; returns an exit status when kivrec should stop.
int parse(int argc, char** argv, launch& l) {
  for (int i = 1; i < argc; ++i) {
    const std::string_view a = argv[i];
    if (a == "--") {
      if (!l.name_dir.empty()) return fail("--name runs no program");
      if (l.report.stacks && !l.report.wanted()) return fail("--stacks needs --report or --json");
      l.program = i + 1;
      return l.program < argc ? -1 : fail("no program to run");
    }
    if (a == "--help" || a == "-h") {
      std::fputs(usage_text, stdout);
      return 0;
    }
    if (a == "--quiet") {
      l.quiet = true;
      continue;
    }
    if (a == "--append") {
      l.append = true;
      continue;
    }
    if (a == "--stacks") {
      l.report.stacks = true;
      continue;
    }
    if (a == "--threads-as-processes") {
      l.env.emplace_back("KIVREC_THREADS", "process");
      continue;
    }
    if (i + 1 == argc) return fail("option " + std::string(a) + " needs a value");
    const std::string value = argv[++i];
    if (a == "--dir") {
      l.dir = value;
    } else if (a == "--runid") {
      // Checked before anything is created.
      if (const std::string problem = kivrec::run_id_problem(value); !problem.empty()) return refuse(problem);
      l.runid = value;
    } else if (a == "--size") {
      if (!all_digits(value) || value == "0") return fail("--size needs a positive number of KiB");
      l.env.emplace_back("KIVREC_SIZE", value);
    } else if (a == "--address-bytes") {
      if (value != "4" && value != "8") return fail("--address-bytes must be 4 or 8");
      l.env.emplace_back("KIVREC_ADDRESS_BYTES", value);
    } else if (a == "--mark-signal") {
      if (!all_digits(value)) return fail("--mark-signal needs a signal number");
      l.env.emplace_back("KIVREC_MARK_SIGNAL", value);
    } else if (a == "--library") {
      l.library = value;
    } else if (a == "--depth") {
      if (!all_digits(value) || value.size() > 3 || std::stoul(value) < 1 || std::stoul(value) > kivrec::max_depth)
        return fail("--depth needs a number of frames from 1 to 256");
      l.env.emplace_back("KIVREC_DEPTH", value);
    } else if (a == "--debug-dir") {
      l.debug_dirs = value;
    } else if (a == "--name") {
      l.name_dir = value;
    } else if (a == "--report") {
      l.report.page = value;
    } else if (a == "--json") {
      l.report.json = value;
    } else {
      return fail("unknown option " + std::string(a));
    }
  }
  if (l.name_dir.empty()) return fail("missing -- before the program");
  return l.report.wanted() ? fail("--report and --json report a program run, not --name") : -1;
}

// Names what can be named in the run directory; problems are reported
// on standard error. False when there were any.
bool name_stacks(const std::string& run_dir, kivrec::stack_namer& namer) {
  const kivrec::naming_outcome outcome = kivrec::name_run(run_dir, namer);
  for (const std::string& problem : outcome.problems) std::fprintf(stderr, "kivrec: %s\n", problem.c_str());
  return outcome.problems.empty();
}

// A run directory that exists or can be made, and holds no earlier trace
// unless --append asks to add to it.
int check_run_directory(const launch& l, const std::string& dir) {
  const std::string problem = kivrec::run_directory_problem(dir + "/" + l.runid, l.append);
  return problem.empty() ? -1 : refuse(problem);
}

// A statically linked program has no dynamic loader to preload into; it
// runs anyway (the programs it starts may be recorded).
void warn_if_static(const char* program) {
  const std::string file = kivrec::program_file(program);
  if (file.empty() || !kivrec::statically_linked(file)) return;
  std::fprintf(stderr, "kivrec: %s is statically linked: nothing can be preloaded into it, its heap is not recorded\n",
               file.c_str());
}

// Where the trace goes, and what becomes of it.
void announce(const launch& l, const char* trace_dir) {
  if (l.quiet) return;
  if (l.report.wanted()) {
    std::fprintf(stderr, "kivrec: recording into %s/%s; converted and reported when the program ends\n", trace_dir,
                 l.runid.c_str());
    return;
  }
  std::fprintf(stderr, "kivrec: recording into %s/%s; convert with: cd %s && kiv -R %s\n", trace_dir,
               l.runid.c_str(), trace_dir, l.runid.c_str());
}

// kiv and kivdb found and the report's files writable, before the program
// runs rather than after it.
int prepare_report(const launch& l, kivrec::run_reporter& reporter) {
  if (!l.report.wanted()) return -1;
  const std::string problem = reporter.prepare(l.report);
  return problem.empty() ? -1 : refuse(problem);
}

// The conversion and the report, when asked for; the exit status kivrec ends with.
int finish(const launch& l, kivrec::run_reporter& reporter, const char* trace_dir, int program_status) {
  if (!l.report.wanted()) return program_status;
  const bool reported = reporter.convert_and_report(trace_dir, l.runid, l.quiet);
  return kivrec::status_after_report(program_status, reported);
}

}  // namespace

int main(int argc, char** argv) {
  launch l;
  if (const char* lib = ::getenv("KIVREC_LIBRARY")) l.library = lib;
  if (const char* dirs = ::getenv("KIVREC_DEBUG_PATH")) l.debug_dirs = dirs;
  const int status = parse(argc, argv, l);
  if (status >= 0) return status;
  kivrec::stack_namer namer(l.debug_dirs);
  if (!l.name_dir.empty()) return name_stacks(l.name_dir, namer) ? 0 : 1;
  ::mkdir(l.dir.c_str(), 0777);
  char absolute[PATH_MAX];
  if (::realpath(l.dir.c_str(), absolute) == nullptr)
    return fail("cannot use trace directory " + l.dir + ": " + std::strerror(errno));
  if (l.library.empty()) l.library = default_library();
  if (::access(l.library.c_str(), R_OK) != 0) return fail("cannot read the recording library " + l.library);
  if (l.runid.empty()) l.runid = std::to_string(::getpid());
  kivrec::run_reporter reporter;  // keeps the environment the recording settings are not in
  if (const int refused = prepare_report(l, reporter); refused >= 0) return refused;
  if (const int refused = check_run_directory(l, absolute); refused >= 0) return refused;
  warn_if_static(argv[l.program]);
  ::setenv("KIVREC_DIR", absolute, 1);
  ::setenv("KIVREC_RUNID", l.runid.c_str(), 1);
  for (const auto& [name, value] : l.env) ::setenv(name.c_str(), value.c_str(), 1);
  std::string preload = l.library;
  if (const char* old = ::getenv("LD_PRELOAD"); old != nullptr && old[0] != '\0') preload += std::string(":") + old;
  ::setenv("LD_PRELOAD", preload.c_str(), 1);
  announce(l, absolute);
  // The stacks are named while the program runs, on a core of their own,
  // so that little is left to name when it ends.
  const std::string run_dir = std::string(absolute) + "/" + l.runid;
  auto follower = std::make_unique<kivrec::stack_follower>(run_dir, namer);
  const int program_status = kivrec::run_child(argv + l.program, [&follower] { return follower->step(); });
  follower.reset();  // what it read is read again: its copy goes first
  name_stacks(run_dir, namer);
  return finish(l, reporter, absolute, program_status);
}
