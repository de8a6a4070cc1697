#pragma once

#include <cstdint>
#include <string>

class csv_file_sequence;
class read_progress;
class sql_script;

// Results of one conversion.
inline constexpr int process_converted = 0;
// The header's file type is not one we convert.
inline constexpr int process_failed = 1;
// The header's version is newer than we understand.
inline constexpr int process_unsupported = 2;
// Reading stopped at a record that cannot be framed; the tables are closed
// and the program must end with a failure status.
inline constexpr int process_stopped = 3;

// Converts one header file (directory + "/" + name) with its data files.
// first is true for the first conversion of sequence and script; max_size
// limits the size-checked table files; progress, when not null, is told how
// far reading has come.
int process_file(csv_file_sequence* sequence, sql_script* script, const std::string& dir,
                 const std::string& name, const std::string& description, bool first, std::int64_t max_size,
                 read_progress* progress = nullptr);
