// kivrec: runs a program with the recording library preloaded, so that its
// heap is traced in kiv's format into <dir>/<runid>.

#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "recorder/launch_checks.h"

namespace {

constexpr const char* usage_text =
    "usage: kivrec [options] -- program [arguments...]\n"
    "Runs program with its heap recorded in kiv's trace format: one header and\n"
    "data files per process image in DIR/ID, converted with: cd DIR && kiv -R ID\n"
    "\n"
    "options:\n"
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
    "  --quiet              no line about where the trace goes\n"
    "  --help               this text\n";

struct launch {
  std::string dir = ".";
  std::string runid;
  std::string library;
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
    } else {
      return fail("unknown option " + std::string(a));
    }
  }
  return fail("missing -- before the program");
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

}  // namespace

int main(int argc, char** argv) {
  launch l;
  if (const char* lib = ::getenv("KIVREC_LIBRARY")) l.library = lib;
  const int status = parse(argc, argv, l);
  if (status >= 0) return status;
  ::mkdir(l.dir.c_str(), 0777);
  char absolute[PATH_MAX];
  if (::realpath(l.dir.c_str(), absolute) == nullptr)
    return fail("cannot use trace directory " + l.dir + ": " + std::strerror(errno));
  if (l.library.empty()) l.library = default_library();
  if (::access(l.library.c_str(), R_OK) != 0) return fail("cannot read the recording library " + l.library);
  // The program keeps this process id, which is the default run id.
  if (l.runid.empty()) l.runid = std::to_string(::getpid());
  if (const int refused = check_run_directory(l, absolute); refused >= 0) return refused;
  warn_if_static(argv[l.program]);
  ::setenv("KIVREC_DIR", absolute, 1);
  ::setenv("KIVREC_RUNID", l.runid.c_str(), 1);
  for (const auto& [name, value] : l.env) ::setenv(name.c_str(), value.c_str(), 1);
  std::string preload = l.library;
  if (const char* old = ::getenv("LD_PRELOAD"); old != nullptr && old[0] != '\0') preload += std::string(":") + old;
  ::setenv("LD_PRELOAD", preload.c_str(), 1);
  if (!l.quiet)
    std::fprintf(stderr, "kivrec: recording into %s/%s; convert with: cd %s && kiv -R %s\n", absolute,
                 l.runid.c_str(), absolute, l.runid.c_str());
  ::execvp(argv[l.program], argv + l.program);
  std::fprintf(stderr, "kivrec: cannot run %s: %s\n", argv[l.program], std::strerror(errno));
  return 127;
}
