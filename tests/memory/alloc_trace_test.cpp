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

// Two processes, three ids (one linked to each process), colours described
// and not, a realloc in place and a moved one, an unknown address, a reset
// id and a free id issued from the other process.
std::string write_trace(kivw::trace_session& s, kivw::fake_clock& clock) {
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
  clock.set({1'700'000'030, 0});
  s.reset_id(1, 0, "", 208, 0);
  s.malloc_wf(1, 1, 0x6000, 5, 8, 0, "");
  s.free_id(2, 0, "", 48, 0);
  s.process_end(12);
  s.close();
  return s.header_path();
}

constexpr const char* tables[] = {"memory", "freemem", "malid", "color"};

TEST_F(MemoryTest, TraceOfTwoProcessesMatchesTheExpectedTables) {
  kivw::trace_session s(options(4242));
  const conversion c = convert(write_trace(s, *clock_));
  EXPECT_EQ(c.out, "Error in FREE: illegal address 5000\n");
  for (const char* t : tables) compare_with_expected(t, table(t));
}

TEST_F(MemoryTest, KivProgramWritesTheSameTables) {
  kivw::trace_session s(options(4242));
  const std::string header = write_trace(s, *clock_);
  const std::string cmd = std::string(KIV_BINARY) + " -H " + header + " >kiv.out 2>kiv.err";
  ASSERT_EQ(std::system(cmd.c_str()), 0) << read_file("kiv.err");
  EXPECT_NE(read_file("kiv.out").find("Error in FREE: illegal address 5000\n"), std::string::npos);
  for (const char* t : tables) EXPECT_EQ(table(t), read_file(std::string(KIV_MEMORY_EXPECTED) + "/" + t + ".csv")) << t;
}

}  // namespace
