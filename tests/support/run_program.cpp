#include "support/run_program.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
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

running_program::running_program(const std::string& program, const program_run& run)
    : capture_(std::make_unique<scratch_dir>("kiv_run")) {
  const std::string out_path = (capture_->path() / "stdout").string();
  const std::string err_path = (capture_->path() / "stderr").string();

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

  const int rc = posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  check(rc, "posix_spawn");
}

running_program::~running_program() {
  if (reaped_) return;
  ::kill(pid_, SIGKILL);
  while (waitpid(pid_, &wstatus_, 0) < 0 && errno == EINTR) {
  }
}

bool running_program::finished() {
  if (reaped_) return true;
  reaped_ = waitpid(pid_, &wstatus_, WNOHANG) == pid_;
  return reaped_;
}

program_result running_program::wait() {
  while (!reaped_) {
    if (waitpid(pid_, &wstatus_, 0) == pid_) reaped_ = true;
    else if (errno != EINTR) throw std::runtime_error("waitpid failed");
  }
  program_result result;
  result.status = WIFEXITED(wstatus_) ? WEXITSTATUS(wstatus_) : signal_status_base + WTERMSIG(wstatus_);
  result.out = read_file(capture_->path() / "stdout");
  result.err = read_file(capture_->path() / "stderr");
  return result;
}

program_result run_program(const std::string& program, const program_run& run) {
  return running_program(program, run).wait();
}

}  // namespace kivtest
