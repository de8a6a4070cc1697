#pragma once

#include <map>
#include <string>

// Numbering of the table files of one directory run (or single-file run).
// The key is the table name alone, not the run id.
class csv_file_sequence {
 public:
  explicit csv_file_sequence(std::string extension);

  // First call for a table: records 1 and returns it whatever advance says;
  // later calls add 1 first when advance is set.
  int curr_sequence(const std::string& table, bool advance);
  std::string get_sequence(const std::string& table, const std::string& runid);
  std::string next_sequence(const std::string& table, const std::string& runid);
  // "kiv." run id "." table "." number "." extension
  std::string generate_file_name(const std::string& table, const std::string& runid, int number) const;

 private:
  std::string extension_;
  std::map<std::string, int> numbers_;
};
