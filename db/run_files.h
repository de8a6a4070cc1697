#pragma once

// The table files of a converted run, read straight from its directory:
// each file mapped and parsed in one pass. The loader reads them into a
// database; the report reads them without one.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "db/database.h"
#include "db/image_plan.h"
#include "db/script_manifest.h"

namespace kivdb {

// A table file mapped into memory for one pass; the fields of its rows are
// views into it. Throws std::system_error when it cannot be read.
class mapped_file {
 public:
  explicit mapped_file(const std::string& path);
  ~mapped_file();
  mapped_file(const mapped_file&) = delete;
  mapped_file& operator=(const mapped_file&) = delete;
  const char* data() const { return data_; }
  std::size_t size() const { return size_; }

 private:
  int fd_ = -1;
  const char* data_ = nullptr;
  std::size_t size_ = 0;
};

// Maps a table file the script names; throws load_error naming the script
// line when it cannot be read.
std::unique_ptr<mapped_file> map_table_file(const script_manifest& m, const manifest_file& f);

// A table file the script names, open for reading, and its size; the same
// error when it cannot be opened.
class open_table_file {
 public:
  open_table_file(const script_manifest& m, const manifest_file& f);
  ~open_table_file();
  open_table_file(const open_table_file&) = delete;
  open_table_file& operator=(const open_table_file&) = delete;
  int fd() const { return fd_; }
  std::size_t size() const { return size_; }

 private:
  int fd_ = -1;
  std::size_t size_ = 0;
};

// The files of the script, the tables whose rows label others' first (in
// the image splitter's order), then the rest in the script's order.
std::vector<const manifest_file*> files_in_label_order(const script_manifest& m);

// Calls each with the fields of every record of the table's files, in
// order (row_nr last, numbered from 0; the image field unset). Throws
// load_error for a record that is not what kiv writes.
void read_table_rows(const script_manifest& m, std::string_view table, char field_sep, char fun_sep,
                     const std::function<void(std::span<field>)>& each);

// The headers of the run, from its "runs" and "marker" files.
image_plan read_image_plan(const script_manifest& m, char field_sep, char fun_sep);

// One line for the user: what makes the run less than whole.
std::string describe_cut(const std::vector<cut_finding>& findings);

}  // namespace kivdb
