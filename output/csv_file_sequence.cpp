#include "output/csv_file_sequence.h"

#include <utility>

csv_file_sequence::csv_file_sequence(std::string extension) : extension_(std::move(extension)) {}

int csv_file_sequence::curr_sequence(const std::string& table, bool advance) {
  const auto [it, inserted] = numbers_.try_emplace(table, 1);
  if (!inserted && advance) ++it->second;
  return it->second;
}

std::string csv_file_sequence::get_sequence(const std::string& table, const std::string& runid) {
  return generate_file_name(table, runid, curr_sequence(table, false));
}

std::string csv_file_sequence::next_sequence(const std::string& table, const std::string& runid) {
  return generate_file_name(table, runid, curr_sequence(table, true));
}

std::string csv_file_sequence::generate_file_name(const std::string& table, const std::string& runid,
                                                  int number) const {
  std::string name = "kiv.";
  name += runid;
  name += '.';
  name += table;
  name += '.';
  name += std::to_string(number);
  name += '.';
  name += extension_;
  return name;
}
