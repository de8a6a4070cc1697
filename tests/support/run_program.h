#pragma once

#include <map>
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

}  // namespace kivtest
