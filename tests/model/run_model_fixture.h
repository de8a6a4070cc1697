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

#include "driver/process_file.h"
#include "driver/settings.h"
#include "header/XmlParser.h"
#include "output/csv_file.h"
#include "output/csv_file_sequence.h"
#include "output/sql_script.h"
#include "reader/kiv_reader.h"
#include "writer/trace_session.h"

namespace run_model_test {

inline std::string read_text(const std::filesystem::path& p) {
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

// What a conversion printed.
struct printed {
  std::string out;
  std::string err;
};

// Each test writes its trace into a fresh working directory (the header
// names its data files relative to it) and converts it there. Program-wide
// counters and settings start fresh, as when the program starts.
class RunModelTest : public ::testing::Test {
 protected:
  static constexpr const char* runid = "4711";
  // Texts of the trace's clock start and of the header's start and end.
  static constexpr const char* t_start = "2023-11-14 22:13:20.000";
  static constexpr const char* t_end = "2023-11-14 22:15:00.500";

  std::filesystem::path dir_ = std::filesystem::temp_directory_path() /
                               ("kiv_model_" + std::to_string(::getpid()) + "_" +
                                ::testing::UnitTest::GetInstance()->current_test_info()->name());
  std::filesystem::path old_cwd_;
  csv_file_sequence sequence_{"csv"};
  sql_script script_{"sql"};
  bool first_ = true;
  std::shared_ptr<kivw::fake_clock> clock_ =
      std::make_shared<kivw::fake_clock>(kivw::time_value{1'700'000'000, 0}, 0);
  std::unique_ptr<XmlParser> parser_;

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
    data_sep = default_separator;
    fun_sep = default_separator;
    std::filesystem::current_path(old_cwd_);
    std::filesystem::remove_all(dir_);
  }

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

  // Converts one header the way the driver does (event loop, then every
  // dump in the driver's order).
  printed convert(const std::string& header_path) {
    printed p;
    ::testing::internal::CaptureStdout();
    ::testing::internal::CaptureStderr();
    process_file(&sequence_, &script_, ".", header_path, "test run", first_, csv_file::default_max);
    p.err = ::testing::internal::GetCapturedStderr();
    p.out = ::testing::internal::GetCapturedStdout();
    first_ = false;
    return p;
  }

  // A reader whose records have been replayed, for looking at the model
  // itself; no table is dumped.
  std::unique_ptr<kiv_reader> replay(const std::string& header_path, printed* output = nullptr) {
    parser_ = std::make_unique<XmlParser>(startElement, endElement, dataElement, nullptr);
    ::testing::internal::CaptureStdout();
    ::testing::internal::CaptureStderr();
    auto reader = std::make_unique<kiv_reader>(parser_.get(), &sequence_, &script_, ".",
                                               header_path.c_str(), "test run", first_,
                                               csv_file::default_max);
    reader->ReadEvents();
    const std::string err = ::testing::internal::GetCapturedStderr();
    const std::string out = ::testing::internal::GetCapturedStdout();
    if (output != nullptr) *output = {out, err};
    first_ = false;
    return reader;
  }

  static std::string table(const std::string& name, int number = 1) {
    return read_text("kiv." + std::string(runid) + "." + name + "." + std::to_string(number) + ".csv");
  }
  static std::vector<std::string> rows(const std::string& name) { return lines_of(table(name)); }
};

}  // namespace run_model_test
