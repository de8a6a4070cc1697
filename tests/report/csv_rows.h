#pragma once

// The rows of kiv's table files as the tests read them, without kivdb's
// parser: split at ';' (a run converted with the default separators), each
// field named by the table's declared columns.

#include <cstdint>
#include <filesystem>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "db/schema.h"
#include "support/scratch_dir.h"

namespace kivtest {

// The rows of one of kiv's tables, split at the separator, and the position
// of each named field (labels counted, as they stand in the row).
struct csv_table {
  std::vector<std::vector<std::string>> rows;
  std::map<std::string, std::size_t> at;

  const std::string& get(const std::vector<std::string>& row, const std::string& name) const {
    return row.at(at.at(name));
  }
  // Signed or unsigned decimal; unsigned values above the signed range as
  // their two's complement, as the database keeps them.
  std::int64_t num(const std::vector<std::string>& row, const std::string& name) const {
    const std::string& text = get(row, name);
    if (text.starts_with('-')) return std::stoll(text);
    return static_cast<std::int64_t>(std::stoull(text));
  }
};

// Every file of the table in the run directory, in file order.
inline csv_table read_table(const std::filesystem::path& dir, const std::string& runid, const std::string& name) {
  csv_table t;
  const kivdb::table_def* def = kivdb::find_table(name);
  for (std::size_t i = 0; i < def->columns.size(); ++i) t.at.emplace(def->columns[i].name, i);
  for (int number = 1;; ++number) {
    const std::filesystem::path file = dir / ("kiv." + runid + "." + name + "." + std::to_string(number) + ".csv");
    if (!std::filesystem::exists(file)) break;
    std::istringstream in(read_file(file));
    for (std::string line; std::getline(in, line);) {
      std::vector<std::string> fields;
      std::size_t start = 0;
      for (std::size_t end; (end = line.find(';', start)) != std::string::npos; start = end + 1)
        fields.push_back(line.substr(start, end - start));
      fields.push_back(line.substr(start));
      t.rows.push_back(std::move(fields));
    }
  }
  return t;
}

}  // namespace kivtest
