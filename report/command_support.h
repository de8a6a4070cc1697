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

// Writes the file with render; throws std::runtime_error "cannot write
// PATH" when it cannot be opened or a write fails (a full disk, say).
void write_checked(const std::string& path, const std::function<void(std::ostream&)>& render);

}  // namespace kivdb::report
