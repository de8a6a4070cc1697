#include "output/sql_script.h"

#include <iostream>
#include <utility>

namespace {
// Lines written once at the top of a new script. The client substitutes
// $(ScriptDir), so the tables are found beside the script.
constexpr const char* script_head[] = {
    "USE KIV",
    "DECLARE @RUNID varchar(10)",
    "DECLARE @Path varchar(100)",
    "",
};
constexpr const char* path_line = "SET @Path = '$(ScriptDir)\\'";

// Tables whose rows are closed by this marker pass it to the import.
constexpr const char* row_end_marker = "<<>>";
}  // namespace

sql_script::sql_script(std::string extension) : extension_(std::move(extension)) {}

sql_script::~sql_script() { stream_.close(); }

// Every conversion sets the run id and version used by later import lines;
// only the first conversion of a run creates the file.
void sql_script::set_path(const std::string& dir, const std::string& runid, int version, bool first) {
  runid_ = runid;
  version_ = version;
  if (!first) return;
  const std::string path = dir + "/kiv." + runid + "." + extension_;
  if (!stream_.open(path, true)) {
    std::cerr << "kiv: cannot create SQL script " << path << " (" << stream_.error()
              << "); its import lines are lost\n";
  }
  for (const char* line : script_head) stream_ << line << '\n';
  stream_ << "SET @RUNID = '" << runid_ << "'\n";
  stream_ << path_line << '\n';
  stream_ << '\n';
  stream_.flush();
}

void sql_script::generate_import(const std::string& table, int number) {
  const bool memory = table == "memory";
  stream_ << (memory ? "execute Do_Import_Kiv_Csv_File_Memory " : "execute Do_Import_Kiv_Csv_File ");
  stream_ << "@Path, '" << runid_ << "', '" << table << version_ << "', '" << table << "', '" << number << '\'';
  if (table == "queries" || table == "flowdata") stream_ << ", '" << row_end_marker << '\'';
  stream_ << ";\n";
  stream_.flush();
}
