#pragma once

// Writes a loaded run back as kiv wrote it: every table file the run's
// import script names, row for row and byte for byte, and the script.

#include <cstdint>
#include <filesystem>
#include <string>

#include "db/database.h"

namespace kivdb {

struct export_totals {
  std::uint64_t files = 0;
  std::uint64_t rows = 0;
  std::uint64_t bytes = 0;
};

// Throws db_error when the run is not in the database or the engine fails,
// std::system_error when a file cannot be written.
export_totals export_run(database& db, const std::string& run_id, const std::filesystem::path& out_dir);

}  // namespace kivdb
