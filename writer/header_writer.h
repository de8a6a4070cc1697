#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

#include "writer/record_table.h"
#include "writer/trace_options.h"

namespace kivw {

// Writes the XML header of one traced run. Every block is flushed as soon
// as it is written, so a run that dies leaves a header that ends after its
// last complete block. Attribute values are escaped for XML.
class header_writer {
 public:
  header_writer() = default;
  ~header_writer();
  header_writer(const header_writer&) = delete;
  header_writer& operator=(const header_writer&) = delete;

  // Creates (truncates) the header file; false when it cannot be created.
  bool open(const std::string& path);
  bool is_open() const { return file_ != nullptr; }

  // Declaration, <kiv>, version, filetype, endianess, pid, runid,
  // <al_alloc> and the <entries> block, shaped by options.variant.
  void write_prologue(const trace_options& options, std::string_view runid);
  void write_kivfile(std::string_view file, std::string_view size);
  void write_value_line(std::string_view element, std::string_view value);
  void write_raw(std::string_view text);
  // time_start, time_end, progname, user, kre, pacc, hostname and </kiv>.
  void write_trailer(const header_trailer& trailer, time_value start, time_value end);
  void close();

  // `text` with &, <, > and " replaced by their XML entities.
  static std::string escape(std::string_view text);

 private:
  void put(std::string_view text);
  void write_entry(const record_info& rec, const trace_options& options);

  std::FILE* file_ = nullptr;
};

}  // namespace kivw
