#include "recorder/run_report.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string_view>

#include "recorder/helper_program.h"
#include "recorder/launch_checks.h"

namespace kivrec {

namespace {

constexpr mode_t log_mode = 0644;
constexpr int report_failed_status = 1;

// How kiv's lines that explain a failed conversion begin: lost output, a
// record it cannot frame, a user name it refuses, an internal error.
constexpr std::string_view conversion_problem_starts[] = {
    "kiv: ", "Illegal event detected", "Could not find ", "Some error occurred"};

// The folder a file would be written into.
std::string folder_of(const std::string& file) {
  const std::size_t slash = file.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : file.substr(0, slash);
}

// Why `file` cannot be written, checked before the program runs; empty
// when it can (as far as can be told before writing).
std::string output_problem(const std::string& option, const std::string& file) {
  struct stat st {};
  if (::stat(file.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return option + " " + file + ": it is a directory";
  const std::string folder = folder_of(file);
  if (::stat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
    return option + " " + file + ": there is no folder " + folder;
  if (::access(folder.c_str(), W_OK) != 0)
    return option + " " + file + ": cannot write into " + folder + ": " + std::strerror(errno);
  return {};
}

std::string first_line(std::string_view text) {
  const std::size_t end = text.find('\n');
  return std::string(text.substr(0, end));
}

// kiv takes a product user from KRE_USER, else USER, and refuses to run
// without one of at most 8 characters; it uses the name for nothing it
// writes. The one command converts for whoever runs it: when the user's
// own name would be refused, kiv is given one it takes.
constexpr std::size_t longest_product_user = 8;
constexpr const char* converter_user = "kivrec";

std::string variable(const std::vector<std::string>& env, std::string_view name) {
  for (const std::string& e : env)
    if (e.size() > name.size() && e.compare(0, name.size(), name) == 0 && e[name.size()] == '=')
      return e.substr(name.size() + 1);
  return {};
}

std::vector<std::string> converter_environment(std::vector<std::string> env) {
  std::string user = variable(env, "KRE_USER");
  if (user.empty()) user = variable(env, "USER");
  if (!user.empty() && user.size() <= longest_product_user) return env;
  std::erase_if(env, [](const std::string& e) { return e.starts_with("KRE_USER="); });
  env.push_back(std::string("KRE_USER=") + converter_user);
  return env;
}

}  // namespace

std::string run_reporter::prepare(const report_request& request) {
  request_ = request;
  if (!request.page.empty() && request.page == request.json)
    return "--report and --json name the same file " + request.page;
  if (!request.page.empty())
    if (std::string problem = output_problem("--report", request.page); !problem.empty()) return problem;
  if (!request.json.empty())
    if (std::string problem = output_problem("--json", request.json); !problem.empty()) return problem;
  kiv_ = helper_program::find("kiv", KIVREC_BUILD_TREE_KIV);
  kivdb_ = helper_program::find("kivdb", KIVREC_BUILD_TREE_KIVDB);
  for (const auto& [name, path] : {std::pair{"kiv", &kiv_}, std::pair{"kivdb", &kivdb_}})
    if (path->empty()) return std::string("cannot report: no ") + name + " beside kivrec, in its build tree or on PATH";
  environment_ = current_environment();
  return {};
}

std::string run_reporter::conversion_log(const std::string& run_dir, const std::string& runid) {
  return run_dir + "/kiv." + runid + ".log";
}

bool run_reporter::convert_and_report(const std::string& trace_dir, const std::string& runid, bool quiet) const {
  const std::string run_dir = trace_dir + "/" + runid;
  if (header_in(run_dir).empty()) {
    std::fprintf(stderr, "kivrec: nothing was recorded in %s (no trace header): no report\n", run_dir.c_str());
    return false;
  }
  return convert(trace_dir, runid, quiet) && report(run_dir, runid);
}

bool run_reporter::convert(const std::string& trace_dir, const std::string& runid, bool quiet) const {
  const std::string log = conversion_log(trace_dir + "/" + runid, runid);
  const int log_fd = ::open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, log_mode);
  if (log_fd < 0) {
    std::fprintf(stderr, "kivrec: cannot convert the trace: cannot create %s: %s\n", log.c_str(), std::strerror(errno));
    return false;
  }
  if (!quiet) std::fprintf(stderr, "kivrec: converting %s/%s with kiv (its output: %s)\n", trace_dir.c_str(),
                           runid.c_str(), log.c_str());
  const helper_program kiv(kiv_);
  const std::vector<std::string> environment = converter_environment(environment_);
  const int status = kiv.run({{"-R", runid}, trace_dir, log_fd, log_fd, &environment});
  ::close(log_fd);
  if (status == 0) return true;
  std::ifstream in(log);
  const std::string problem = conversion_problem(in);
  std::fprintf(stderr, "kivrec: kiv -R %s failed (%s)%s%s (kiv's output: %s)\n", runid.c_str(),
               kiv.describe(status).c_str(), problem.empty() ? "" : ": ", problem.c_str(), log.c_str());
  return false;
}

bool run_reporter::report(const std::string& run_dir, const std::string& runid) const {
  std::vector<std::string> args{"report", run_dir};
  if (!request_.page.empty()) args.insert(args.end(), {"-o", request_.page});
  if (!request_.json.empty()) args.insert(args.end(), {"--json", request_.json});
  if (request_.stacks) args.emplace_back("--stacks");
  // The program's own output is on the same terminal: the summary stands
  // apart from it.
  std::printf("\n==== kivrec: run %s (%s) ====\n", runid.c_str(), run_dir.c_str());
  std::fflush(stdout);
  const helper_program kivdb(kivdb_);
  const helper_program::caught result = kivdb.run_catching_errors({args, {}, STDOUT_FILENO, STDERR_FILENO, &environment_});
  if (result.status == 0) {
    std::fputs(result.err.c_str(), stderr);
    return true;
  }
  const std::string why = result.err.empty() ? kivdb.describe(result.status) : first_line(result.err);
  std::fprintf(stderr, "kivrec: no report: %s\n", why.c_str());
  return false;
}

int status_after_report(int program_status, bool reported) {
  return program_status == 0 && !reported ? report_failed_status : program_status;
}

std::string conversion_problem(std::istream& kiv_output) {
  for (std::string line; std::getline(kiv_output, line);)
    for (const std::string_view start : conversion_problem_starts)
      if (line.starts_with(start)) return line;
  return {};
}

}  // namespace kivrec
