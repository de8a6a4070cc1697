#include "support/run_program.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "support/scratch_dir.h"

extern char** environ;

namespace kivtest {

namespace {

constexpr int signal_status_base = 128;

std::vector<std::string> build_environment(const program_run& run) {
  std::vector<std::string> result;
  for (char** e = environ; *e; ++e) {
    const std::string entry = *e;
    const std::string name = entry.substr(0, entry.find('='));
    if (!run.env.count(name)) result.push_back(entry);
  }
  for (const auto& [name, value] : run.env) {
    if (value) result.push_back(name + "=" + *value);
  }
  return result;
}

std::vector<char*> c_strings(std::vector<std::string>& strings) {
  std::vector<char*> result;
  for (auto& s : strings) result.push_back(s.data());
  result.push_back(nullptr);
  return result;
}

void check(int rc, const char* what) {
  if (rc != 0) throw std::runtime_error(std::string(what) + ": " + std::strerror(rc));
}

}  // namespace

program_result run_program(const std::string& program, const program_run& run) {
  scratch_dir capture("kiv_run");
  const std::string out_path = (capture.path() / "stdout").string();
  const std::string err_path = (capture.path() / "stderr").string();

  std::vector<std::string> argv_strings{program};
  argv_strings.insert(argv_strings.end(), run.args.begin(), run.args.end());
  std::vector<std::string> env_strings = build_environment(run);
  std::vector<char*> argv = c_strings(argv_strings);
  std::vector<char*> envp = c_strings(env_strings);

  posix_spawn_file_actions_t actions;
  check(posix_spawn_file_actions_init(&actions), "file actions");
  const int flags = O_WRONLY | O_CREAT | O_TRUNC;
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, out_path.c_str(), flags, 0644);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, err_path.c_str(), flags, 0644);
  if (!run.cwd.empty()) posix_spawn_file_actions_addchdir_np(&actions, run.cwd.c_str());

  pid_t pid = 0;
  const int rc = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  check(rc, "posix_spawn");

  int wstatus = 0;
  while (waitpid(pid, &wstatus, 0) < 0) {
    if (errno != EINTR) throw std::runtime_error("waitpid failed");
  }
  program_result result;
  result.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : signal_status_base + WTERMSIG(wstatus);
  result.out = read_file(out_path);
  result.err = read_file(err_path);
  return result;
}

}  // namespace kivtest
