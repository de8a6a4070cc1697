#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <memory>
#include <sstream>
#include <string>
#include <unistd.h>
#include <vector>

#include "header/XmlParser.h"
#include "output/csv_file.h"
#include "output/csv_file_sequence.h"
#include "output/sql_script.h"
#include "reader/kiv_reader.h"
#include "runtime/settings.h"
#include "support/scratch_dir.h"
#include "writer/trace_session.h"

namespace kivtest {

inline std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) out.push_back(line);
  return out;
}

// Standard output without the "csv_file: " lines that announce each table
// file opened.
inline std::string without_table_notices(const std::string& out) {
  std::string kept;
  for (const std::string& line : lines_of(out)) {
    if (!line.starts_with("csv_file: ")) kept += line + "\n";
  }
  return kept;
}

// Base of the fixtures that write a trace with our writer and convert it.
// Each test runs in a fresh directory that is also the working directory
// (the header names its data files relative to it); the program-wide
// counters and settings start fresh, as they do when the program starts.
class trace_fixture : public ::testing::Test {
 protected:
  static constexpr const char* runid = "4711";
  static constexpr std::int32_t start_secs = 1'700'000'000;  // 2023-11-14 22:13:20 UTC
  static constexpr std::int32_t end_secs = 1'700'000'100;

  std::filesystem::path dir_ = std::filesystem::temp_directory_path() /
                               ("kiv_test_" + std::to_string(::getpid()) + "_" +
                                ::testing::UnitTest::GetInstance()->current_test_info()->name());
  std::filesystem::path old_cwd_;
  csv_file_sequence sequence_{"csv"};
  sql_script script_{"sql"};
  bool first_ = true;  // the next reader is the run's first conversion
  // The clock of the traces written by options(); tests move it.
  std::shared_ptr<kivw::fake_clock> clock_ =
      std::make_shared<kivw::fake_clock>(kivw::time_value{start_secs, 0}, 0);
  std::unique_ptr<XmlParser> parser_;

  void SetUp() override {
    std::filesystem::remove_all(dir_);
    std::filesystem::create_directories(dir_);
    old_cwd_ = std::filesystem::current_path();
    std::filesystem::current_path(dir_);
    kiv_counters = {};
    reset_settings();
  }
  void TearDown() override {
    reset_settings();
    std::filesystem::current_path(old_cwd_);
    std::filesystem::remove_all(dir_);
  }

  // A run of process pid with the fixture's clock and zero allocator figures.
  kivw::trace_options options(std::int32_t pid = 7) const {
    kivw::trace_options opt;
    opt.dir = ".";
    opt.runid = runid;
    opt.pid = pid;
    opt.clock = clock_;
    opt.mallinfo_source = [] { return kivw::mallinfo_values{}; };
    opt.trailer.time_start = kivw::time_value{start_secs, 0};
    opt.trailer.time_end = kivw::time_value{end_secs, 500'000'000};
    return opt;
  }

  // A reader on the header, as the driver makes it; the parser stays with
  // the fixture.
  std::unique_ptr<kiv_reader> open_reader(const std::string& header_path) {
    parser_ = std::make_unique<XmlParser>(startElement, endElement, dataElement, nullptr);
    auto reader = std::make_unique<kiv_reader>(parser_.get(), &sequence_, &script_, ".",
                                               header_path.c_str(), "test run", first_,
                                               csv_file::default_max);
    first_ = false;
    return reader;
  }

  static std::string table(const std::string& name, int number = 1) {
    return read_file("kiv." + std::string(runid) + "." + name + "." + std::to_string(number) + ".csv");
  }
  static std::vector<std::string> rows(const std::string& name) { return lines_of(table(name)); }

 private:
  static void reset_settings() {
    debug_level = 0;
    data_sep = default_separator;
    fun_sep = default_separator;
  }
};

}  // namespace kivtest
