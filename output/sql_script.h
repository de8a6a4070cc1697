#pragma once

#include <string>

#include "output/out_stream.h"

// The SQL import script of one directory run (or single-file run): header
// lines once, then one import line per table file created, each flushed so
// that the script is complete up to the last table even if the run stops.
// A script that cannot be created is reported on standard error; its lines
// are dropped and the conversion goes on.
class sql_script {
 public:
  explicit sql_script(std::string extension);
  ~sql_script();

  void set_path(const std::string& dir, const std::string& runid, int version, bool first);
  void generate_import(const std::string& table, int number);

 private:
  std::string extension_;
  std::string runid_;
  int version_ = 1;
  out_stream stream_;
};
