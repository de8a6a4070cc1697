#include "recorder/helper_program.h"

#include <fcntl.h>
#include <limits.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "recorder/launch_checks.h"

extern char** environ;

namespace kivrec {

namespace {

constexpr int signal_status_base = 128;
constexpr int not_started_status = 127;
constexpr int first_inherited_fd = 3;
constexpr std::size_t pipe_read_size = 4096;

// The folder of the running kivrec, with its '/' (symbolic links resolved,
// so an installed kivrec started through a link finds its own bin/).
std::string own_folder() {
  char self[PATH_MAX];
  const ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
  if (n <= 0) return {};
  const std::string path(self, static_cast<std::size_t>(n));
  return path.substr(0, path.rfind('/') + 1);
}

// An absolute name, since the helpers run in other folders.
std::string absolute(const std::string& path) {
  char resolved[PATH_MAX];
  return ::realpath(path.c_str(), resolved) != nullptr ? std::string(resolved) : path;
}

std::vector<char*> c_strings(const std::vector<std::string>& strings) {
  std::vector<char*> result;
  result.reserve(strings.size() + 1);
  for (const std::string& s : strings) result.push_back(const_cast<char*>(s.c_str()));
  result.push_back(nullptr);
  return result;
}

int status_of(int wait_status) {
  if (WIFSIGNALED(wait_status)) return signal_status_base + WTERMSIG(wait_status);
  return WIFEXITED(wait_status) ? WEXITSTATUS(wait_status) : not_started_status;
}

// Reads the descriptor to its end and closes it.
std::string drain(int fd) {
  std::string text;
  char buffer[pipe_read_size];
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n > 0) {
      text.append(buffer, static_cast<std::size_t>(n));
    } else if (n == 0 || errno != EINTR) {
      break;
    }
  }
  ::close(fd);
  return text;
}

}  // namespace

std::string helper_program::find(const std::string& name, const std::string& build_tree_path) {
  const std::string folder = own_folder();
  if (!folder.empty()) {
    // A name with a '/' is taken as it is, if it is an executable file.
    if (!program_file(folder + name).empty()) return folder + name;
    if (!program_file(folder + build_tree_path).empty()) return absolute(folder + build_tree_path);
  }
  const std::string on_path = program_file(name);
  return on_path.empty() ? on_path : absolute(on_path);
}

pid_t helper_program::spawn(const run_setup& setup) const {
  std::vector<std::string> argv_strings{path_};
  argv_strings.insert(argv_strings.end(), setup.args.begin(), setup.args.end());
  const std::vector<char*> argv = c_strings(argv_strings);
  const std::vector<char*> envp = c_strings(*setup.env);

  posix_spawn_file_actions_t actions;
  ::posix_spawn_file_actions_init(&actions);
  ::posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  ::posix_spawn_file_actions_adddup2(&actions, setup.out_fd, STDOUT_FILENO);
  ::posix_spawn_file_actions_adddup2(&actions, setup.err_fd, STDERR_FILENO);
  // The namer's object files and the like stay with kivrec.
  ::posix_spawn_file_actions_addclosefrom_np(&actions, first_inherited_fd);
  if (!setup.cwd.empty()) ::posix_spawn_file_actions_addchdir_np(&actions, setup.cwd.c_str());
  pid_t pid = 0;
  const int rc = ::posix_spawn(&pid, path_.c_str(), &actions, nullptr, argv.data(), envp.data());
  ::posix_spawn_file_actions_destroy(&actions);
  if (rc == 0) return pid;
  start_problem_ = std::strerror(rc);
  return -1;
}

int helper_program::wait(pid_t pid) {
  if (pid < 0) return not_started_status;
  int wait_status = 0;
  while (::waitpid(pid, &wait_status, 0) < 0 && errno == EINTR) {
  }
  return status_of(wait_status);
}

int helper_program::run(const run_setup& setup) const { return wait(spawn(setup)); }

helper_program::caught helper_program::run_catching_errors(run_setup setup) const {
  int ends[2];
  if (::pipe2(ends, O_CLOEXEC) != 0) {
    start_problem_ = std::string("cannot make a pipe: ") + std::strerror(errno);
    return {not_started_status, {}};
  }
  setup.err_fd = ends[1];
  const pid_t pid = spawn(setup);
  ::close(ends[1]);
  // Read to its end before the helper is waited for, so that it never
  // blocks on a full pipe.
  caught result;
  result.err = drain(ends[0]);
  result.status = wait(pid);
  return result;
}

std::string helper_program::describe(int status) const {
  if (status == not_started_status && !start_problem_.empty()) return "could not be started: " + start_problem_;
  if (status > signal_status_base) return "killed by signal " + std::to_string(status - signal_status_base);
  return "exit status " + std::to_string(status);
}

std::vector<std::string> current_environment() {
  std::vector<std::string> env;
  for (char** e = environ; *e != nullptr; ++e) env.emplace_back(*e);
  return env;
}

}  // namespace kivrec
