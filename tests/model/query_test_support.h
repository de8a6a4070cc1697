#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

#include "reader/kiv_reader.h"
#include "support/trace_fixture.h"
#include "writer/trace_session.h"

namespace kiv_model_test {

using kivtest::lines_of;
using kivtest::read_file;
using kivtest::without_table_notices;

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

// What one conversion printed (standard output without the file notices).
struct conversion {
  std::string out;
  std::string err;
};

// A trace of process trace_pid that every test fills through trace(); each
// conversion is the run's first.
class TraceTest : public kivtest::trace_fixture {
 protected:
  static constexpr std::int32_t trace_pid = 7;

  std::unique_ptr<kivw::trace_session> trace_;

  void SetUp() override {
    trace_fixture::SetUp();
    trace_ = std::make_unique<kivw::trace_session>(options(trace_pid));
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
      auto reader = first_reader();
      reader->read_files();
      reader->ReadEvents();
      reader->dump_query_db();
    }
    c.err = ::testing::internal::GetCapturedStderr();
    c.out = without_table_notices(::testing::internal::GetCapturedStdout());
    return c;
  }

  // Closes the trace and replays it with a reader the test keeps, for a
  // look at the model before the reader is gone. Output is swallowed.
  std::unique_ptr<kiv_reader> replay() {
    trace_->close();
    ::testing::internal::CaptureStdout();
    ::testing::internal::CaptureStderr();
    auto reader = first_reader();
    reader->read_files();
    reader->ReadEvents();
    last_ = {::testing::internal::GetCapturedStdout(), ::testing::internal::GetCapturedStderr()};
    return reader;
  }
  conversion last_;

  // Display text of start + seconds (TZ=UTC).
  static std::string time_text(std::int32_t seconds);

 private:
  std::unique_ptr<kiv_reader> first_reader() {
    first_ = true;
    return open_reader(trace_->header_path());
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
