#pragma once

#include <sys/types.h>

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace kivtest {

struct program_result {
  int status = -1;  // exit status, or 128 + signal number when killed
  std::string out;
  std::string err;
};

struct program_run {
  std::vector<std::string> args;  // without the program itself
  std::string cwd;                // empty: the test's own directory
  // Environment changes: a value sets the variable, nullopt removes it.
  std::map<std::string, std::optional<std::string>> env;
};

// Runs program with run's arguments, directory and environment, and returns
// its exit status with everything it wrote on stdout and stderr.
program_result run_program(const std::string& program, const program_run& run);

class scratch_dir;

// A program started and left to run beside the test: to send it signals,
// or to run several at once.
class running_program {
 public:
  running_program(const std::string& program, const program_run& run);
  // Kills the program if it was not waited for.
  ~running_program();
  running_program(const running_program&) = delete;
  running_program& operator=(const running_program&) = delete;

  pid_t pid() const { return pid_; }
  // True once the program has ended (without waiting for it).
  bool finished();
  // Waits for the program to end.
  program_result wait();

 private:
  std::unique_ptr<scratch_dir> capture_;
  pid_t pid_ = -1;
  bool reaped_ = false;
  int wstatus_ = 0;
};

}  // namespace kivtest
