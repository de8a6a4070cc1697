#pragma once

#include <cstddef>
#include <string_view>

namespace kivrec {

inline constexpr std::size_t max_run_id_length = 9;

// A run id names a directory below the trace directory and goes into file
// names, table names and the SQL script: 1 to 9 letters, digits, '_', '.'
// or '-', and neither "." nor ".." (which would name the trace directory
// or its parent).
constexpr bool valid_run_id(std::string_view id) {
  if (id.empty() || id.size() > max_run_id_length || id == "." || id == "..") return false;
  for (const char c : id) {
    const bool letter = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
    const bool digit = c >= '0' && c <= '9';
    if (!letter && !digit && c != '_' && c != '.' && c != '-') return false;
  }
  return true;
}

}  // namespace kivrec
