#pragma once

// The table files of a converted run, read straight from its directory:
// each file read and parsed in one pass. The loader reads them into a
// database; the report reads them without one.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "db/database.h"
#include "db/image_plan.h"
#include "db/input_file.h"
#include "db/script_manifest.h"

namespace kivdb {

// A table file the script names, open for reading, and its size; the same
// error when it cannot be opened.
// Only regular files are opened, as for a load.
class open_table_file {
 public:
  open_table_file(const script_manifest& m, const manifest_file& f);
  int fd() const { return file_->descriptor(); }
  std::size_t size() const { return static_cast<std::size_t>(file_->size()); }

 private:
  std::unique_ptr<input_file> file_;
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
