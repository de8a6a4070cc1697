#pragma once

// The import script kiv writes beside its tables, read as the list of
// table files to load: which files, of which tables, in which order.

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace kivdb {

struct manifest_file {
  std::string table;      // one of kiv's table names
  std::int32_t number;    // the table's file number
  std::uint64_t line;     // the script line that names it
  std::string file_name;  // kiv.<runid>.<table>.<number>.csv
};

struct script_manifest {
  std::filesystem::path script;  // the script's path
  std::filesystem::path dir;     // where its table files are ($(ScriptDir))
  std::string run_id;
  std::string text;  // the whole script, byte for byte
  std::vector<manifest_file> files;
  // Lines naming files of another run id (a later conversion of the same
  // directory with its own run id): not this run's rows, so not loaded.
  std::vector<std::string> skipped;
};

// Reads and checks the script; throws load_error naming the script and the
// line that is not what kiv writes.
script_manifest read_manifest(const std::filesystem::path& script);

// The script of a trace directory: its one kiv.<runid>.sql. Throws
// load_error when there is none or more than one.
std::filesystem::path find_script(const std::filesystem::path& dir);

}  // namespace kivdb
