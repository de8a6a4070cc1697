#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace kivrec {

// A program of this package that kivrec runs after the recorded program:
// kiv to convert the trace, kivdb to report it.
class helper_program {
 public:
  // Where `name` is: beside kivrec (an installed bin/), else at
  // `build_tree_path`, relative to kivrec's folder (where the build tree
  // puts it), else along PATH. Empty when there is none.
  static std::string find(const std::string& name, const std::string& build_tree_path);

  // What one run of a helper gets.
  struct run_setup {
    std::vector<std::string> args;         // without the program itself
    std::string cwd;                       // empty: kivrec's own
    int out_fd = 1;                        // its standard output
    int err_fd = 2;                        // its standard error
    const std::vector<std::string>* env = nullptr;  // its whole environment
  };

  // The program's exit status, 128 + N when signal N ended it, 127 when it
  // could not be started (the reason in start_problem()).
  int run(const run_setup& setup) const;

  // Runs it with its standard error caught, and returns that with the
  // status: for a helper's messages, which are a few lines.
  struct caught {
    int status = 0;
    std::string err;
  };
  caught run_catching_errors(run_setup setup) const;

  // What a status of run() says, for a message: "exit status 1", "killed
  // by signal 9", "could not be started: <reason>".
  std::string describe(int status) const;

  explicit helper_program(std::string path) : path_(std::move(path)) {}
  const std::string& path() const { return path_; }
  const std::string& start_problem() const { return start_problem_; }

 private:
  pid_t spawn(const run_setup& setup) const;  // -1 when it cannot be started
  static int wait(pid_t pid);

  std::string path_;
  mutable std::string start_problem_;
};

// A copy of this process's environment as it is now: kept before kivrec
// adds the recording settings, so that the helpers are not recorded.
std::vector<std::string> current_environment();

}  // namespace kivrec
