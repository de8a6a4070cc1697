#pragma once

#include <cstdint>
#include <string>

#include "output/out_stream.h"

class csv_file_sequence;
class sql_script;

// One table file. Callers ask for the stream before every row (or group of
// rows that belong together): that is where the size limit is checked.
// Every file opened is announced on standard output ("csv_file: " path and
// whether it was created); a file that cannot be opened is reported on
// standard error and its rows are dropped, the conversion goes on.
class csv_file {
 public:
  static constexpr std::int64_t default_max = 1073741824;

  csv_file(csv_file_sequence* sequence, sql_script* script, std::string table, std::string dir,
           std::string runid, bool first);
  ~csv_file();

  bool open_file(bool first, bool next);
  std::string generate_file_name(bool next);
  out_stream& get_stream() {
    if (check_ && static_cast<std::int64_t>(stream_.tellp()) >= max_) rotate();
    return stream_;
  }
  void set_max(std::int64_t size) { max_ = size; }
  void add_check(bool flag) { check_ = flag; }
  void close_file();
  const std::string& get_filename() const { return file_name_; }

 private:
  void rotate();

  csv_file_sequence* sequence_;
  sql_script* script_;
  out_stream stream_;
  std::string file_name_;
  std::string dir_;
  std::string runid_;
  std::string table_;
  bool check_ = false;
  // A negative limit (from a tiny -M value) starts a new file before every row.
  std::int64_t max_ = default_max;
};
