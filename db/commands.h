#pragma once

// kivdb's subcommands. Each one lives in its own file, gets the words after
// its name and returns the program's exit status; kivdb_main.cpp lists
// them.

#include <span>
#include <string_view>

namespace kivdb {

using command_args = std::span<char* const>;

struct subcommand {
  std::string_view name;
  std::string_view usage;  // one line, after "kivdb "
  int (*run)(command_args args);
};

// Exit status of a command that failed (bad input, database error).
inline constexpr int exit_failure = 1;
// Exit status of a command line that could not be understood.
inline constexpr int exit_usage = 2;

int load_command(command_args args);
int export_command(command_args args);
int schema_command(command_args args);
int report_command(command_args args);  // report/report_command.cpp
int diff_command(command_args args);    // report/diff_command.cpp

// Runs the subcommand named by argv[1]; usage on standard error when there
// is none or it is unknown.
int kivdb_main(int argc, char** argv);

}  // namespace kivdb
