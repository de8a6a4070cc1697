#pragma once

#include <string>
#include <string_view>

namespace kivrec {

// What kivrec makes sure of before it starts the program, so that nothing
// the run writes breaks a later step. Each check returns the one line to
// print (without "kivrec: "), empty when all is well.

// A run id that kiv, the loader and the SQL script can all use, and that
// names a directory below the trace directory.
std::string run_id_problem(std::string_view runid);

// Creates the run directory (0755) when it is missing. One that already
// holds a trace is refused unless `append` asks to add to it: two runs
// under one id would be converted and loaded as one.
std::string run_directory_problem(const std::string& run_dir, bool append);

// The name of the first trace header in `dir`; empty when there is none.
std::string header_in(const std::string& dir);

// The file execvp would run for `program` (searched in PATH when it has no
// '/'); empty when there is none.
std::string program_file(const std::string& program);

// True for an ELF executable without a program interpreter: the dynamic
// loader never runs in it, so nothing can be preloaded.
bool statically_linked(const std::string& file);

}  // namespace kivrec
