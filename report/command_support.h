#pragma once

// What kivdb report and kivdb diff share on their command lines and in
// the files they write.

#include <cstddef>
#include <functional>
#include <ostream>
#include <string>

namespace kivdb::report {

// The entries of each list to show: "--top N" with N a positive number.
// Throws std::invalid_argument naming the word otherwise.
std::size_t parse_top(const std::string& text);

// The page (-o) and the JSON (--json) are written one after the other:
// named by one file, the page would replace the JSON without a word.
// Throws std::invalid_argument when both name the same file (also through
// another spelling of its path or a link to it).
void check_distinct_outputs(const std::string& html_path, const std::string& json_path);

// Writes the file with render; throws std::runtime_error "cannot write
// PATH" when it cannot be opened or a write fails (a full disk, say).
void write_checked(const std::string& path, const std::function<void(std::ostream&)>& render);

}  // namespace kivdb::report
