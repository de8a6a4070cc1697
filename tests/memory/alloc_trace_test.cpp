// One trace with several processes, ids and colours, converted whole: the
// "memory", "freemem", "malid" and "color" files are compared with the
// expected files byte for byte.

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "memory_test_support.h"

namespace {

using kiv_memory_test::conversion;
using kiv_memory_test::MemoryTest;
using kiv_memory_test::read_file;

// KIV_UPDATE_EXPECTED=1 rewrites the expected files from this build's
// output (to be reviewed before committing).
void compare_with_expected(const std::string& table, const std::string& actual) {
  const std::filesystem::path expected = std::filesystem::path(KIV_MEMORY_EXPECTED) / (table + ".csv");
  if (std::getenv("KIV_UPDATE_EXPECTED") != nullptr) {
    std::ofstream(expected, std::ios::binary) << actual;
    return;
  }
  EXPECT_EQ(actual, read_file(expected)) << "table " << table;
}

TEST_F(MemoryTest, TraceOfTwoProcessesMatchesTheExpectedTables) {
  kivw::trace_session s(options(4242));
  s.process_start(11, 1, "main");
  s.process_start(12, 11, "worker");
  s.reserve_id(1, 64, 0x10, "lib.c:10", 2, "proc:11:main heap");
  s.reserve_id_colors(0, "small");
  s.reserve_id_colors(1, "large");
  s.reserve_id(2, 32, 0, "", 1, "xml:proc 12:loc doc");
  s.reserve_id_colors(0, "nodes");
  s.reserve_id(3, 0, 0, "", 1, "qdb:orders");
  s.schedule(0, 11);
  s.malloc_wf(1, 0, 0x1000, 10, 16, 0x20, "a.4gl:1");
  s.malloc_wf(1, 1, 0x2000, 200, 208, 0x20, "a.4gl:1");
  s.malloc_nf(3, 0, 0x9000, 7, 8, 0, "");
  s.schedule(11, 12);
  s.malloc_wf(2, 0, 0x3000, 30, 32, 0x30, "b.4gl:2");
  s.free_realloc(2, 0, 0x3000, 0x3000, 12, 16, 0x30, "b.4gl:2");
  s.realloc_notify(0x3000);
  s.malloc_wf(2, 0, 0x4000, 40, 48, 0x30, "b.4gl:2");
  s.free(2, 0, 0x3000, 0x30, "b.4gl:2");
  s.sbrk(0x800000, 65536);
  s.schedule(12, 11);
  s.free(1, 0, 0x1000, 0, "");
  s.free(1, 0, 0x5000, 0, "");
  clock_->set({1'700'000'030, 0});
  s.reset_id(1, 0, "", 208, 0);
  s.malloc_wf(1, 1, 0x6000, 5, 8, 0, "");
  s.free_id(2, 0, "", 48, 0);
  s.process_end(12);
  s.close();
  const conversion c = convert(s.header_path());
  EXPECT_EQ(c.out, "Error in FREE: illegal address 5000\n");
  for (const char* t : {"memory", "freemem", "malid", "color"}) compare_with_expected(t, table(t));
}

}  // namespace
