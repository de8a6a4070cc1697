#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

#include "writer/trace_options.h"

namespace kivw {

// One data file of a run. Binary files are fully buffered in 4,096-byte
// blocks; text files follow the requested buffering. Counts the bytes
// written so that the file switch need not ask the file system.
class data_file {
 public:
  data_file() = default;
  ~data_file();
  data_file(const data_file&) = delete;
  data_file& operator=(const data_file&) = delete;

  bool open(const std::string& path, data_format format, buffer_mode mode);
  bool is_open() const { return file_ != nullptr; }
  // Writes `bytes` with one write call.
  void write(std::string_view bytes);
  std::uint64_t size() const { return size_; }
  void flush();
  void close();

 private:
  std::FILE* file_ = nullptr;
  std::uint64_t size_ = 0;
};

}  // namespace kivw
