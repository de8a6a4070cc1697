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
using kiv_memory_test::memory_row;
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

// Reallocs in place whose tot_size moves against their size. Id 5 shrinks
// from 100 to 40 bytes while its tot_size grows from 112 to 272: the freed
// tot_size is the unsigned 32-bit 112 - 272 = 4294967136. Id 6 grows from
// 100 to 140 bytes while its tot_size falls from 112 to 64: the allocated
// tot_size is 64 - 112 = 4294967248. Each level applies these amounts in
// its own type, and the free ids then find totals that differ from the
// allocator's.
std::string write_wrapping_reallocs(kivw::trace_session& s) {
  s.reserve_id(5, 64, 0, "", 1, "shrinking");
  s.reserve_id_colors(0, "c");
  s.reserve_id(6, 64, 0, "", 1, "growing");
  s.reserve_id_colors(0, "c");
  s.malloc_wf(5, 0, 0x1000, 100, 112, 0, "");
  s.free_realloc(5, 0, 0x1000, 0x1000, 40, 272, 0, "");
  s.malloc_wf(6, 0, 0x2000, 100, 112, 0, "");
  s.free_realloc(6, 0, 0x2000, 0x2000, 140, 64, 0, "");
  s.free_id(5, 0, "", 272, 0);
  s.free_id(6, 0, "", 64, 0);
  s.close();
  return s.header_path();
}

TEST_F(MemoryTest, ReallocDifferencesAreUnsigned32BitAndWrapInEachLevelsType) {
  kivw::trace_session s(options());
  const conversion c = convert(write_wrapping_reallocs(s));
  EXPECT_EQ(c.out,
            "free_mem inconsistency WF in malid 5 tot_size_wf 272 vs actual 18446744069414584592\n"
            "FREE ID \n"
            "totals for id 5 shrinking\n"
            " size_wf     40\n"
            " size_wf_tot 18446744069414584592\n"
            " >clear_all_mem()\n"
            " >size     40\n"
            " >tot_size 272\n"
            " >> 0 tot_size 272 size     40\n"
            " c> 0 tot_size 18446744069414584592 size     40\n"
            " size_nf     0\n"
            " size_nf_tot 0\n"
            " c> 0 tot_size 0 size     0\n"
            " >clear_all_mem()\n"
            " >size     0\n"
            " >tot_size 0\n"
            " >> 0 tot_size 0 size     0\n"
            "free_mem inconsistency WF in malid 6 tot_size_wf 64 vs actual 4294967360\n"
            "FREE ID \n"
            "totals for id 6 growing\n"
            " size_wf     140\n"
            " size_wf_tot 4294967360\n"
            " >clear_all_mem()\n"
            " >size     140\n"
            " >tot_size 64\n"
            " >> 0 tot_size 64 size     140\n"
            " c> 0 tot_size 4294967360 size     140\n"
            " size_nf     0\n"
            " size_nf_tot 0\n"
            " c> 0 tot_size 0 size     0\n"
            " >clear_all_mem()\n"
            " >size     0\n"
            " >tot_size 0\n"
            " >> 0 tot_size 0 size     0\n");

  const auto rows = memory_rows();
  ASSERT_EQ(rows.size(), 6U);
  // The shrink: c3 and c4 are the signed differences new minus old.
  const memory_row& shrink = rows[1];
  EXPECT_EQ(shrink.c(3) + ";" + shrink.c(4) + ";" + shrink.c(5) + ";" + shrink.c(6), "-60;160;40;272");
  // 112 - 4294967136 in unsigned 64 bits at the id, id colour and run
  // levels, in signed 64 bits at the process levels, and 112 + 160 in the
  // signed 32-bit process id colour block.
  EXPECT_EQ(shrink.malid(), "40;18446744069414584592;1;100;112;40;18446744069414584592;2;0;100;112;1");
  EXPECT_EQ(shrink.color(), "40;18446744069414584592;1;100;112;40;18446744069414584592;2;0");
  EXPECT_EQ(shrink.process(), "40;-4294967024;0;100;112;40;-4294967024;2;0;100;112;1");
  EXPECT_EQ(shrink.process_m(), "40;-4294967024;0;40;-4294967024;2;0");
  EXPECT_EQ(shrink.process_c(), "40;272;1;40;272;2;0");
  EXPECT_EQ(shrink.global(), "40;18446744069414584592;0;100;112;0;0;0");

  // The growth of id 6: 112 + 4294967248 at the 64-bit levels, 112 - 48 in
  // the 32-bit colour block; the grown amounts also count as allocations.
  const memory_row& grow = rows[3];
  EXPECT_EQ(grow.c(3) + ";" + grow.c(4) + ";" + grow.c(5) + ";" + grow.c(6), "40;-48;140;64");
  EXPECT_EQ(grow.malid(), "140;4294967360;2;140;4294967360;140;4294967360;2;0;140;4294967360;2");
  EXPECT_EQ(grow.color(), "140;4294967360;2;140;4294967360;140;4294967360;2;0");
  EXPECT_EQ(grow.process_m(), "140;4294967360;2;140;4294967360;2;0");
  EXPECT_EQ(grow.process_c(), "140;64;2;140;64;2;0");
  // Process and run hold id 5's wrapped amount too: -4294967024 and
  // 18446744069414584592 plus 4294967360 give 336 in both widths.
  EXPECT_EQ(grow.process(), "180;336;2;180;336;180;336;4;0;240;4294967472;3");
  EXPECT_EQ(grow.global(), "180;336;2;180;18446744069414584704;0;0;0");

  for (const char* t : tables) compare_with_expected("realloc_wrap_" + std::string(t), table(t));
}

}  // namespace
