#pragma once

// What kivdb's commands write for the user, checked: a summary lost on a
// full disk or a closed pipe is a failure the user hears of, never a
// silent success.

#include <string>
#include <string_view>

namespace kivdb {

// Flushes standard output. False, after one line on standard error
// ("kivdb <command>: cannot write to standard output: <cause>" and the
// note, if any), when what the command wrote there did not all get out.
bool flush_standard_output(std::string_view command, std::string_view note = {});

// Writes bytes to path, creating or replacing it. Throws
// std::runtime_error ("cannot write <path>: <cause>") when they do not all
// get there; a regular file left half written is removed.
void write_output_file(const std::string& path, std::string_view bytes);

}  // namespace kivdb
