#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "driver/settings.h"
#include "header/XmlParser.h"
#include "output/csv_file.h"
#include "output/csv_file_sequence.h"
#include "output/sql_script.h"
#include "reader/kiv_reader.h"
#include "writer/trace_session.h"

namespace kiv_model_test {

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

// Field `index` (from 0) of a row separated by ';'.
inline std::string field_of(const std::string& row, std::size_t index) {
  std::size_t start = 0;
  for (std::size_t i = 0; i < index; ++i) {
    start = row.find(';', start);
    if (start == std::string::npos) return "<missing>";
    ++start;
  }
  return row.substr(start, row.find(';', start) - start);
}

// Standard output without the notices of the table files opened.
inline std::string without_file_notices(const std::string& text) {
  std::string out;
  for (const std::string& line : lines_of(text))
    if (line.rfind("csv_file: ", 0) != 0) out += line + "\n";
  return out;
}

// What one conversion printed (standard output without the file notices).
struct conversion {
  std::string out;
  std::string err;
};

// Each test writes its trace with our writer into a fresh directory that is
// also the working directory (the header names its data files relative to
// it) and converts it there. Program-wide counters and settings start
// fresh, as they do when the program starts.
class TraceTest : public ::testing::Test {
 protected:
  static constexpr const char* runid = "4711";
  static constexpr std::int32_t trace_pid = 7;
  static constexpr std::int32_t start_secs = 1'700'000'000;
  static constexpr std::int32_t end_secs = 1'700'000'100;

  std::filesystem::path dir_ = std::filesystem::temp_directory_path() /
                               ("kiv_model_" + std::to_string(::getpid()) + "_" +
                                ::testing::UnitTest::GetInstance()->current_test_info()->name());
  std::filesystem::path old_cwd_;
  csv_file_sequence sequence_{"csv"};
  sql_script script_{"sql"};
  std::shared_ptr<kivw::fake_clock> clock_ =
      std::make_shared<kivw::fake_clock>(kivw::time_value{start_secs, 0}, 0);
  std::unique_ptr<kivw::trace_session> trace_;
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
    kivw::trace_options opt;
    opt.dir = ".";
    opt.runid = runid;
    opt.pid = trace_pid;
    opt.clock = clock_;
    opt.mallinfo_source = [] { return kivw::mallinfo_values{}; };
    opt.trailer.time_start = kivw::time_value{start_secs, 0};
    opt.trailer.time_end = kivw::time_value{end_secs, 500'000'000};
    trace_ = std::make_unique<kivw::trace_session>(opt);
  }
  void TearDown() override {
    debug_level = 0;
    std::filesystem::current_path(old_cwd_);
    std::filesystem::remove_all(dir_);
  }

  kivw::trace_session& trace() { return *trace_; }

  // Sets the time of the records that follow: start + seconds (also for the
  // time stamps the writer adds on its own).
  void at(std::int32_t seconds) {
    clock_->set(kivw::time_value{start_secs + seconds, 0});
    trace_->timestamp();
  }

  // Closes the trace and converts it as the driver does: event loop, then
  // the query table.
  conversion convert() {
    trace_->close();
    conversion c;
    ::testing::internal::CaptureStdout();
    ::testing::internal::CaptureStderr();
    {
      auto reader = open_reader();
      reader->read_files();
      reader->ReadEvents();
      reader->dump_query_db();
    }
    c.err = ::testing::internal::GetCapturedStderr();
    c.out = without_file_notices(::testing::internal::GetCapturedStdout());
    return c;
  }

  // Closes the trace and replays it with a reader the test keeps, for a
  // look at the model before the reader is gone. Output is swallowed.
  std::unique_ptr<kiv_reader> replay() {
    trace_->close();
    ::testing::internal::CaptureStdout();
    ::testing::internal::CaptureStderr();
    auto reader = open_reader();
    reader->read_files();
    reader->ReadEvents();
    last_ = {::testing::internal::GetCapturedStdout(), ::testing::internal::GetCapturedStderr()};
    return reader;
  }
  conversion last_;

  static std::string table(const std::string& name, int number = 1) {
    return read_file("kiv." + std::string(runid) + "." + name + "." + std::to_string(number) + ".csv");
  }

  // Display text of start + seconds (TZ=UTC).
  static std::string time_text(std::int32_t seconds);

 private:
  std::unique_ptr<kiv_reader> open_reader() {
    parser_ = std::make_unique<XmlParser>(startElement, endElement, dataElement, nullptr);
    return std::make_unique<kiv_reader>(parser_.get(), &sequence_, &script_, ".",
                                        trace_->header_path().c_str(), "test run", true,
                                        csv_file::default_max);
  }
};

// 1'700'000'000 is 2023-11-14 22:13:20 UTC.
inline std::string TraceTest::time_text(std::int32_t seconds) {
  const std::int32_t total = 22 * 3600 + 13 * 60 + 20 + seconds;
  char buf[32];
  std::snprintf(buf, sizeof buf, "2023-11-14 %02d:%02d:%02d.000", total / 3600, total / 60 % 60,
                total % 60);
  return buf;
}

}  // namespace kiv_model_test
