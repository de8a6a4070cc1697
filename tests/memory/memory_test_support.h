#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "reader/kiv_reader.h"
#include "support/trace_fixture.h"

namespace kiv_memory_test {

using kivtest::lines_of;
using kivtest::read_file;
using kivtest::without_table_notices;

inline std::vector<std::string> fields_of(const std::string& row) {
  std::vector<std::string> out;
  std::size_t start = 0;
  for (std::size_t sep = row.find(';'); sep != std::string::npos; sep = row.find(';', start)) {
    out.push_back(row.substr(start, sep - start));
    start = sep + 1;
  }
  out.push_back(row.substr(start));
  return out;
}

// One "memory" row cut into its fields, with the counter groups found by
// their labels.
struct memory_row {
  // Position of the fields that precede the counter groups.
  static constexpr std::size_t tag_at = 3;
  static constexpr std::size_t recs_at = 4;
  static constexpr std::size_t location_at = 18;
  static constexpr std::size_t id_at = 19;
  static constexpr std::size_t c1_at = 20;

  std::vector<std::string> f;

  explicit memory_row(const std::string& row) : f(fields_of(row)) {}
  char tag() const { return f.at(tag_at).empty() ? '?' : f.at(tag_at)[0]; }
  // Column c1 .. c8 of the record's own columns.
  const std::string& c(int n) const { return f.at(c1_at + static_cast<std::size_t>(n) - 1); }
  // The n fields after the label, joined by ';'.
  std::string group(const std::string& label, std::size_t n) const {
    for (std::size_t i = 0; i < f.size(); ++i) {
      if (f[i] != label) continue;
      std::string out;
      for (std::size_t k = 1; k <= n && i + k < f.size(); ++k) out += (k > 1 ? ";" : "") + f[i + k];
      return out;
    }
    return "<no " + label + ">";
  }
  // Groups of the row: "color" 9 fields (current, peak or sum, in use,
  // records), "malid" and "process" 12 (current, peak, in use, records,
  // total), "process m" and "process c" 7 (current, in use, records),
  // "global" 8 (current, peak, current no-free), "sbrk" 4.
  std::string color() const { return group("color", 9); }
  std::string malid() const { return group("malid", 12); }
  std::string process() const { return group("process", 12); }
  std::string process_m() const { return group("process m", 7); }
  std::string process_c() const { return group("process c", 7); }
  std::string global() const { return group("global", 8); }
  std::string sbrk() const { return group("sbrk", 4); }
};

// What one conversion printed.
struct conversion {
  std::string out;
  std::string err;
  std::uint64_t records = 0;
};

class MemoryTest : public kivtest::trace_fixture {
 protected:
  // Converts one header: reader, event loop, malloc-id dump.
  conversion convert(const std::string& header_path) {
    return convert_with(header_path, [](kiv_reader&) {});
  }

  // The same, handing the reader to inspect before it is destroyed.
  template <typename Inspect>
  conversion convert_with(const std::string& header_path, Inspect&& inspect) {
    conversion c;
    ::testing::internal::CaptureStdout();
    ::testing::internal::CaptureStderr();
    {
      auto reader = open_reader(header_path);
      reader->read_files();
      c.records = reader->ReadEvents();
      reader->dump_malid_db(c.records);
      inspect(*reader);
    }
    c.err = ::testing::internal::GetCapturedStderr();
    c.out = without_table_notices(::testing::internal::GetCapturedStdout());
    return c;
  }

  static std::vector<memory_row> memory_rows() {
    std::vector<memory_row> out;
    for (const std::string& r : rows("memory")) out.emplace_back(r);
    return out;
  }
};

}  // namespace kiv_memory_test
