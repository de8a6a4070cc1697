#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <unistd.h>
#include <vector>

#include "driver/settings.h"
#include "header/XmlParser.h"
#include "output/csv_file.h"
#include "output/csv_file_sequence.h"
#include "output/sql_script.h"
#include "reader/kiv_reader.h"
#include "writer/trace_session.h"

namespace kiv_memory_test {

inline std::string read_file(const std::filesystem::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

inline std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) out.push_back(line);
  return out;
}

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

// Standard output without the "csv_file: " lines that announce each table
// file opened.
inline std::string without_table_notices(const std::string& out) {
  std::string kept;
  for (const std::string& line : lines_of(out)) {
    if (!line.starts_with("csv_file: ")) kept += line + "\n";
  }
  return kept;
}

// What one conversion printed.
struct conversion {
  std::string out;
  std::string err;
  std::uint64_t records = 0;
};

// Each test runs in a fresh directory that is also the working directory,
// since the header names its data files relative to it. Program-wide
// counters and settings start fresh, as they do when the program starts.
class MemoryTest : public ::testing::Test {
 protected:
  static constexpr const char* runid = "4711";

  std::filesystem::path dir_ = std::filesystem::temp_directory_path() /
                               ("kiv_memory_" + std::to_string(::getpid()) + "_" +
                                ::testing::UnitTest::GetInstance()->current_test_info()->name());
  std::filesystem::path old_cwd_;
  csv_file_sequence sequence_{"csv"};
  sql_script script_{"sql"};
  bool first_ = true;
  std::shared_ptr<kivw::fake_clock> clock_ =
      std::make_shared<kivw::fake_clock>(kivw::time_value{1'700'000'000, 0}, 0);

  void SetUp() override {
    std::filesystem::remove_all(dir_);
    std::filesystem::create_directories(dir_);
    old_cwd_ = std::filesystem::current_path();
    std::filesystem::current_path(dir_);
    kiv_counters = {};
    debug_level = 0;
    data_sep = default_separator;
    fun_sep = default_separator;
  }
  void TearDown() override {
    std::filesystem::current_path(old_cwd_);
    std::filesystem::remove_all(dir_);
  }

  // A run of process pid with a fixed clock and allocator figures.
  kivw::trace_options options(std::int32_t pid = 7) const {
    kivw::trace_options opt;
    opt.dir = ".";
    opt.runid = runid;
    opt.pid = pid;
    opt.clock = clock_;
    opt.mallinfo_source = [] { return kivw::mallinfo_values{}; };
    opt.trailer.time_start = kivw::time_value{1'700'000'000, 0};
    opt.trailer.time_end = kivw::time_value{1'700'000'100, 500'000'000};
    return opt;
  }

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
      XmlParser parser(startElement, endElement, dataElement, nullptr);
      kiv_reader reader(&parser, &sequence_, &script_, ".", header_path.c_str(), "test run", first_,
                        csv_file::default_max);
      reader.read_files();
      c.records = reader.ReadEvents();
      reader.dump_malid_db(c.records);
      inspect(reader);
    }
    c.err = ::testing::internal::GetCapturedStderr();
    c.out = without_table_notices(::testing::internal::GetCapturedStdout());
    first_ = false;
    return c;
  }

  static std::string table(const std::string& name, int number = 1) {
    return read_file("kiv." + std::string(runid) + "." + name + "." + std::to_string(number) + ".csv");
  }
  static std::vector<std::string> rows(const std::string& name) { return lines_of(table(name)); }
  static std::vector<memory_row> memory_rows() {
    std::vector<memory_row> out;
    for (const std::string& r : rows("memory")) out.emplace_back(r);
    return out;
  }
};

}  // namespace kiv_memory_test
