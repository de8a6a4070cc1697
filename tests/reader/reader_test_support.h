#pragma once

#include <cstdint>
#include <string>

#include "reader/kiv_reader.h"
#include "support/trace_fixture.h"

namespace kiv_test {

using kivtest::lines_of;
using kivtest::read_file;

// What one conversion printed and returned.
struct conversion {
  std::string out;
  std::string err;
  std::uint64_t records = 0;
};

class ReaderTest : public kivtest::trace_fixture {
 protected:
  // Converts one header as the driver does: reader, event loop, dumps.
  conversion convert(const std::string& header_path) {
    conversion c;
    ::testing::internal::CaptureStdout();
    ::testing::internal::CaptureStderr();
    {
      auto reader = open_reader(header_path);
      reader->read_files();
      c.records = reader->ReadEvents();
      reader->dump_hash_db();
      reader->dump_runid_db();
    }
    c.err = ::testing::internal::GetCapturedStderr();
    c.out = ::testing::internal::GetCapturedStdout();
    return c;
  }
};

}  // namespace kiv_test
