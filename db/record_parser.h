#pragma once

// Splits the records of one kiv table file into the fields of its stored
// columns, in place: fields are views into the file's bytes. One pass with
// memchr per field and numbers parsed by hand; nothing is allocated per
// record.

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "db/database.h"
#include "db/schema.h"

namespace kivdb {

// A record that is not what kiv writes; the caller adds the file and line.
class parse_failure : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A "kind:declaration" entry of a flowdata record.
struct flowdata_entry {
  std::int64_t row_nr;
  std::int64_t entry_nr;
  std::string_view kind;
  std::string_view declaration;
};

// Canonical decimal numbers only (no sign on unsigned columns, no leading
// zeros, no "-0"), so that a number written back is the text read.
bool parse_int64(std::string_view text, std::int64_t& value);
bool parse_uint64(std::string_view text, std::int64_t& value);

class record_parser {
 public:
  record_parser(const table_def& table, char field_sep, char fun_sep, std::string_view run_id);

  // Parses the record that starts at data (end: the end of the file) into
  // fields(), with row_nr last; returns where the next record starts and
  // adds the lines it spans to lines. Flowdata entries go to entries.
  const char* parse(const char* data, const char* end, std::int64_t row_nr, std::uint64_t& lines,
                    std::vector<flowdata_entry>& entries);

  // Sets only the fields of the named stored columns (the others, labels
  // included, are found but neither stored nor checked; the field count
  // still is): for readers that need a few columns of wide rows. Tables
  // written with one separator character (-sf as -sd) only; others still
  // set every field.
  void convert_only(std::span<const std::string_view> columns);

  const std::vector<field>& fields() const { return fields_; }
  std::vector<field>& fields() { return fields_; }

 private:
  struct field_layout {
    col_type type;
    char sep_before;        // separator in front of the field (unused for the first)
    std::string_view name;  // column name, or the label's text
    int stored;             // index among the stored fields; -1 for a label
  };

  void split(std::string_view record, int first, int last_plus_one);
  void split_line(std::string_view line);
  void split_fields(std::string_view line);
  void split_at_separators(std::string_view line);
  std::size_t field_count(std::string_view line) const;
  void set(int column, std::string_view text);
  [[noreturn]] void wrong_count(std::string_view line, bool too_many) const;
  const char* parse_query(const char* data, const char* end, std::uint64_t& lines);
  const char* parse_flowdata(const char* data, const char* end, std::int64_t row_nr, std::uint64_t& lines,
                             std::vector<flowdata_entry>& entries);

  const table_def& table_;
  char field_sep_;
  bool one_separator_;  // -sf is -sd: every field ends at the same character
  std::string_view run_id_;
  std::vector<field_layout> layout_;
  std::vector<field> fields_;
  std::vector<unsigned char> converted_;  // by stored column: 1 to convert
  std::vector<std::size_t> columns_;      // the fields to set (layout indexes); empty: all
  std::vector<const char*> separators_;
};

}  // namespace kivdb
