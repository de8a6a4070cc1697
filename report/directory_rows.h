#pragma once

// The rows of a converted trace directory, read straight from its table
// files with no database: the files its import script names (checked as
// kivdb load checks them), each parsed in one pass with the loader's own
// record parser, and the rows of each table labelled with their process
// image by the loader's own splitter. The report's figures are then those
// of the database loaded from the directory.

#include <filesystem>
#include <memory>

#include "report/run_rows.h"

namespace kivdb::report {

struct directory_options {
  char field_sep = ';';
  char fun_sep = ';';
};

// `source`: the directory (holding one kiv.<runid>.sql) or the script.
// Throws load_error for a script or a row that is not what kiv writes.
std::unique_ptr<run_rows> directory_rows(const std::filesystem::path& source, const directory_options& options = {});

}  // namespace kivdb::report
