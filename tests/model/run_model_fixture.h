#pragma once

#include <memory>
#include <string>

#include "driver/process_file.h"
#include "reader/kiv_reader.h"
#include "support/trace_fixture.h"

namespace run_model_test {

using kivtest::lines_of;
inline std::string read_text(const std::filesystem::path& p) { return kivtest::read_file(p); }

// What a conversion printed.
struct printed {
  std::string out;
  std::string err;
};

class RunModelTest : public kivtest::trace_fixture {
 protected:
  // Texts of the trace's clock start and of the header's start and end.
  static constexpr const char* t_start = "2023-11-14 22:13:20.000";
  static constexpr const char* t_end = "2023-11-14 22:15:00.500";

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
    ::testing::internal::CaptureStdout();
    ::testing::internal::CaptureStderr();
    auto reader = open_reader(header_path);
    reader->ReadEvents();
    const std::string err = ::testing::internal::GetCapturedStderr();
    const std::string out = ::testing::internal::GetCapturedStdout();
    if (output != nullptr) *output = {out, err};
    return reader;
  }
};

}  // namespace run_model_test
