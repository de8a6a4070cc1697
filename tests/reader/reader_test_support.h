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

namespace kiv_test {

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

// What one conversion printed and returned.
struct conversion {
  std::string out;
  std::string err;
  std::uint64_t records = 0;
};

// Each test runs in a fresh directory that is also the working directory,
// since the header names its data files relative to it. The program-wide
// counters and settings start fresh, as they do when the program starts.
class ReaderTest : public ::testing::Test {
 protected:
  static constexpr const char* runid = "4711";

  std::filesystem::path dir_ = std::filesystem::temp_directory_path() /
                               ("kiv_reader_" + std::to_string(::getpid()) + "_" +
                                ::testing::UnitTest::GetInstance()->current_test_info()->name());
  std::filesystem::path old_cwd_;
  csv_file_sequence sequence_{"csv"};
  sql_script script_{"sql"};
  bool first_ = true;

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
    debug_level = 0;
    std::filesystem::current_path(old_cwd_);
    std::filesystem::remove_all(dir_);
  }

  // A run of process pid with a fixed clock and allocator figures.
  // The clock of the traces written by options(); tests move it.
  std::shared_ptr<kivw::fake_clock> clock_ =
      std::make_shared<kivw::fake_clock>(kivw::time_value{1'700'000'000, 0}, 0);

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

  // Converts one header as the driver does: reader, event loop, dumps.
  conversion convert(const std::string& header_path) {
    conversion c;
    ::testing::internal::CaptureStdout();
    ::testing::internal::CaptureStderr();
    {
      XmlParser parser(startElement, endElement, dataElement, nullptr);
      kiv_reader reader(&parser, &sequence_, &script_, ".", header_path.c_str(), "test run",
                        first_, csv_file::default_max);
      reader.read_files();
      c.records = reader.ReadEvents();
      reader.dump_hash_db();
      reader.dump_runid_db();
    }
    c.err = ::testing::internal::GetCapturedStderr();
    c.out = ::testing::internal::GetCapturedStdout();
    first_ = false;
    return c;
  }

  // A reader on its own, for what the loop alone cannot reach.
  std::unique_ptr<kiv_reader> open_reader(const std::string& header_path) {
    parser_ = std::make_unique<XmlParser>(startElement, endElement, dataElement, nullptr);
    auto reader = std::make_unique<kiv_reader>(parser_.get(), &sequence_, &script_, ".",
                                               header_path.c_str(), "test run", first_,
                                               csv_file::default_max);
    first_ = false;
    return reader;
  }
  std::unique_ptr<XmlParser> parser_;

  static std::string table(const std::string& name, int number = 1) {
    return read_file("kiv." + std::string(runid) + "." + name + "." + std::to_string(number) + ".csv");
  }
};

}  // namespace kiv_test
