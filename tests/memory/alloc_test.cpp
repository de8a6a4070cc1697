// Allocation tracking through whole conversions: counters of every level as
// the "memory" rows show them, "freemem" rows, and the messages for bad
// addresses.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "memory/KivReserveId_db.h"
#include "memory_test_support.h"

namespace {

using kiv_memory_test::conversion;
using kiv_memory_test::memory_row;
using kiv_memory_test::MemoryTest;

constexpr std::uint32_t id = 5;

// Id 5 with one described colour.
void reserve(kivw::trace_session& s, std::int32_t nr_colors = 1) {
  s.reserve_id(id, 64, 0, "", nr_colors, "general heap");
  for (std::int32_t c = 0; c < nr_colors; ++c) s.reserve_id_colors(c, "colour" + std::to_string(c));
}

TEST_F(MemoryTest, AllocationAndFreeMoveEveryLevel) {
  kivw::trace_session s(options());
  reserve(s);
  s.malloc_wf(id, 0, 0x1000, 10, 16, 0, "");
  s.free(id, 0, 0x1000, 0, "");
  s.close();
  unsigned long long freed_size = 0, freed_tot = 0, freed_count = 0, run_freed_count = 0;
  const conversion c = convert_with(s.header_path(), [&](kiv_reader& rd) {
    const auto& st = rd.malid_db().get_reserve_id(id)->stats.stat;
    freed_size = st.freed.size;
    freed_tot = st.freed.tot_size;
    freed_count = st.freed.count;
    run_freed_count = rd.malid_db().stat.freed.count;
  });
  EXPECT_EQ(c.out, "");

  const auto rows = memory_rows();
  ASSERT_EQ(rows.size(), 2U);
  const memory_row& a = rows[0];
  EXPECT_EQ(a.tag(), 'a');
  EXPECT_EQ(a.f[memory_row::recs_at], "1");
  EXPECT_EQ(a.f[memory_row::id_at], "5");
  // colour, address, size, tot_size twice, realloc address and number
  EXPECT_EQ(a.c(1) + ";" + a.c(2) + ";" + a.c(3) + ";" + a.c(4) + ";" + a.c(5) + ";" + a.c(6) + ";" + a.c(7) +
                ";" + a.c(8),
            "0;4096;10;16;10;16;0;0");
  EXPECT_EQ(a.color(), "10;16;1;10;16;10;16;1;0");
  EXPECT_EQ(a.malid(), "10;16;1;10;16;10;16;1;0;10;16;1");
  EXPECT_EQ(a.process(), "10;16;1;10;16;10;16;1;0;10;16;1");
  EXPECT_EQ(a.process_m(), "10;16;1;10;16;1;0");
  EXPECT_EQ(a.process_c(), "10;16;1;10;16;1;0");
  EXPECT_EQ(a.global(), "10;16;1;10;16;0;0;0");
  EXPECT_EQ(a.sbrk(), "0;0;0;0");

  const memory_row& f = rows[1];
  EXPECT_EQ(f.tag(), 'f');
  EXPECT_EQ(f.f[memory_row::recs_at], "2");
  EXPECT_EQ(f.c(3) + ";" + f.c(4) + ";" + f.c(5) + ";" + f.c(6) + ";" + f.c(8), "-10;-16;10;16;1");
  // The id colour frees without moving its block count.
  EXPECT_EQ(f.color(), "0;0;1;10;16;0;0;2;0");
  EXPECT_EQ(f.malid(), "0;0;0;10;16;0;0;2;0;10;16;1");
  EXPECT_EQ(f.process(), "0;0;0;10;16;0;0;2;0;10;16;1");
  EXPECT_EQ(f.process_m(), "0;0;0;0;0;2;0");
  EXPECT_EQ(f.process_c(), "0;0;1;0;0;2;0");
  EXPECT_EQ(f.global(), "0;0;0;10;16;0;0;0");
  EXPECT_EQ(freed_size, 10U);
  EXPECT_EQ(freed_tot, 16U);
  EXPECT_EQ(freed_count, 1U);
  EXPECT_EQ(run_freed_count, 1U);
  EXPECT_EQ(MemoryTest::rows("freemem"), std::vector<std::string>{"4711;7;1;2;f"});
}

TEST_F(MemoryTest, ReallocShrinkFreesTheDifferenceAndRenumbersTheBlock) {
  kivw::trace_session s(options());
  reserve(s);
  s.malloc_wf(id, 0, 0x1000, 100, 112, 0, "");
  s.free_realloc(id, 0, 0x1000, 0x1000, 40, 48, 0, "");
  s.free(id, 0, 0x1000, 0, "");
  s.close();
  const conversion c = convert(s.header_path());
  EXPECT_EQ(c.out, "");

  const auto rows = memory_rows();
  ASSERT_EQ(rows.size(), 3U);
  const memory_row& r = rows[1];
  EXPECT_EQ(r.tag(), 'r');
  EXPECT_EQ(r.c(3) + ";" + r.c(4) + ";" + r.c(5) + ";" + r.c(6) + ";" + r.c(7) + ";" + r.c(8),
            "-60;-64;40;48;4096;1");
  // The id levels keep the block count; process and run count a free.
  EXPECT_EQ(r.malid(), "40;48;1;100;112;40;48;2;0;100;112;1");
  EXPECT_EQ(r.color(), "40;48;1;100;112;40;48;2;0");
  EXPECT_EQ(r.process(), "40;48;0;100;112;40;48;2;0;100;112;1");
  EXPECT_EQ(r.process_m(), "40;48;0;40;48;2;0");
  EXPECT_EQ(r.process_c(), "40;48;1;40;48;2;0");
  EXPECT_EQ(r.global(), "40;48;0;100;112;0;0;0");

  const memory_row& f = rows[2];
  EXPECT_EQ(f.c(3) + ";" + f.c(4) + ";" + f.c(8), "-40;-48;2");
  EXPECT_EQ(f.malid(), "0;0;0;100;112;0;0;3;0;100;112;1");
  EXPECT_EQ(MemoryTest::rows("freemem"), (std::vector<std::string>{"4711;7;1;2;r", "4711;7;2;3;f"}));
}

TEST_F(MemoryTest, ReallocGrowthRaisesPeaksAndCountsAtEveryLevel) {
  kivw::trace_session s(options());
  reserve(s);
  s.malloc_wf(id, 0, 0x1000, 40, 48, 0, "");
  s.free_realloc(id, 0, 0x1000, 0x1000, 100, 112, 0, "");
  s.close();
  convert(s.header_path());

  const auto rows = memory_rows();
  ASSERT_EQ(rows.size(), 2U);
  const memory_row& r = rows[1];
  EXPECT_EQ(r.c(3) + ";" + r.c(4) + ";" + r.c(5) + ";" + r.c(6) + ";" + r.c(8), "60;64;100;112;1");
  EXPECT_EQ(r.color(), "100;112;2;100;112;100;112;2;0");
  EXPECT_EQ(r.malid(), "100;112;2;100;112;100;112;2;0;100;112;2");
  EXPECT_EQ(r.process(), "100;112;2;100;112;100;112;2;0;100;112;2");
  EXPECT_EQ(r.process_m(), "100;112;2;100;112;2;0");
  EXPECT_EQ(r.process_c(), "100;112;2;100;112;2;0");
  EXPECT_EQ(r.global(), "100;112;2;100;112;0;0;0");
  EXPECT_EQ(MemoryTest::rows("freemem"), std::vector<std::string>{"4711;7;1;2;r"});
}

// Addresses are 4 bytes wide in these traces: one with its top bit set is
// negative, and messages show its 64-bit two's complement.
TEST_F(MemoryTest, UnknownAddressesAreReportedInHexAndStillCounted) {
  kivw::trace_session s(options());
  reserve(s);
  s.free(id, 0, 0xb7f00020, 0, "");
  s.free_realloc(id, 0, 0x2000, 0x2000, 8, 16, 0, "");
  s.realloc_notify(0xb7f00040);
  s.malloc_wf(id, 0, 0x3000, 8, 16, 0, "");
  s.close();
  unsigned long long run_freed_count = 1000;
  const conversion c = convert_with(s.header_path(), [&](kiv_reader& rd) {
    run_freed_count = rd.malid_db().stat.freed.count;
  });
  EXPECT_EQ(c.out,
            "Error in FREE: illegal address ffffffffb7f00020\n"
            "Error in FREE REALLOC: illegal address 2000\n"
            "Error in MALLOC_WF cannot find addr_realloed ffffffffb7f00040\n");

  const auto rows = memory_rows();
  ASSERT_EQ(rows.size(), 3U);
  EXPECT_EQ(rows[0].c(2) + ";" + rows[0].c(3) + ";" + rows[0].c(4) + ";" + rows[0].c(8), "-1209008096;0;0;0");
  EXPECT_EQ(rows[0].f[memory_row::recs_at], "1");
  EXPECT_EQ(rows[0].process(), "0;0;-1;0;0;0;0;1;0;0;0;0");
  // The realloc of an unknown block counts nothing at all.
  EXPECT_EQ(rows[1].f[memory_row::recs_at], "1");
  EXPECT_EQ(rows[1].c(3) + ";" + rows[1].c(8), "0;0");
  EXPECT_EQ(rows[2].c(7) + ";" + rows[2].c(8), "-1209008064;0");
  EXPECT_EQ(rows[2].f[memory_row::recs_at], "2");
  EXPECT_EQ(run_freed_count, 1U);
  EXPECT_TRUE(MemoryTest::rows("freemem").empty());
}

TEST_F(MemoryTest, MovedReallocNamesTheOldBlockWhichStaysUntilFreed) {
  kivw::trace_session s(options());
  reserve(s);
  s.malloc_wf(id, 0, 0x1000, 10, 16, 0, "");
  s.realloc_notify(0x1000);
  s.malloc_wf(id, 0, 0x2000, 20, 32, 0, "");
  s.free(id, 0, 0x1000, 0, "");
  s.close();
  convert(s.header_path());
  const auto rows = memory_rows();
  ASSERT_EQ(rows.size(), 3U);
  EXPECT_EQ(rows[1].c(7) + ";" + rows[1].c(8), "4096;1");
  EXPECT_EQ(rows[1].malid(), "30;48;2;30;48;30;48;2;0;30;48;2");
  EXPECT_EQ(MemoryTest::rows("freemem"), std::vector<std::string>{"4711;7;1;3;f"});
}

TEST_F(MemoryTest, NoFreeBlocksShowTheirOwnColourCounters) {
  kivw::trace_session s(options());
  reserve(s);
  s.malloc_nf(id, 0, 0x1000, 10, 16, 0, "");
  s.malloc_nf(id, 0, 0x2000, 5, 8, 0, "");
  s.close();
  convert(s.header_path());
  const auto rows = memory_rows();
  ASSERT_EQ(rows.size(), 2U);
  EXPECT_EQ(rows[1].tag(), 'n');
  EXPECT_EQ(rows[1].c(5) + ";" + rows[1].c(6) + ";" + rows[1].c(7) + ";" + rows[1].c(8), "5;8;0;0");
  // current no-free, running no-free sum, in use, records
  EXPECT_EQ(rows[1].color(), "15;24;2;15;24;15;24;2;0");
  EXPECT_EQ(rows[1].malid(), "0;0;0;0;0;15;24;2;0;0;0;0");
  EXPECT_EQ(rows[1].global(), "0;0;0;0;0;15;24;2");
}

// Colours without a counter block (never described, beyond the id's
// colours, or under an id never reserved) leave their level alone and
// show zeros; the other levels count as usual.
TEST_F(MemoryTest, AllocationsWithoutColourBlockSkipThatLevel) {
  kivw::trace_session s(options());
  s.reserve_id(id, 64, 0, "general heap", 3, "three colours");
  s.reserve_id_colors(0, "zero");
  s.malloc_wf(id, 1, 0x1000, 10, 16, 0, "");   // colour 1 never described
  s.malloc_wf(id, 7, 0x2000, 10, 16, 0, "");   // beyond the id's colours
  s.malloc_wf(42, 0, 0x3000, 10, 16, 0, "");   // id never reserved
  s.free(42, 0, 0x3000, 0, "");
  s.close();
  const conversion c = convert(s.header_path());
  EXPECT_EQ(c.out, "");
  const auto rows = memory_rows();
  ASSERT_EQ(rows.size(), 4U);
  const std::string zeros9 = "0;0;0;0;0;0;0;0;0";
  for (const memory_row& r : rows) EXPECT_EQ(r.color(), zeros9) << r.tag();
  EXPECT_EQ(rows[1].malid(), "20;32;2;20;32;20;32;2;0;20;32;2");
  EXPECT_EQ(rows[2].malid(), "10;16;1;10;16;10;16;1;0;10;16;1");
  EXPECT_EQ(rows[3].malid(), "0;0;0;10;16;0;0;2;0;10;16;1");
  EXPECT_EQ(MemoryTest::rows("freemem"), std::vector<std::string>{"4711;7;3;4;f"});
}

// The second allocation at a stored address is counted, reported and
// released, as is a second description of a location (the sanitizer build
// checks that nothing leaks). Blocks keep the first text of their location.
TEST_F(MemoryTest, DuplicateAddressKeepsTheFirstBlock) {
  kivw::trace_session s(options());
  reserve(s);
  s.malloc_wf(id, 0, 0x1000, 10, 16, 0x77, "prog.4gl:12");
  s.hashloc(0x77, "described again");
  s.malloc_wf(id, 0, 0x1000, 20, 32, 0x77, "");
  s.malloc_wf(id, 0, 0x1000, 30, 48, 0, "");
  s.free(id, 0, 0x1000, 0, "");
  s.close();
  const conversion c = convert(s.header_path());
  EXPECT_EQ(c.out, "Error hashloc 119 already found! \n");
  const std::string refused = " addr: 4096 already in DB!!! rec: 1 size: 10 hashlock: prog.4gl:12\n";
  const auto first = c.err.find(refused);
  ASSERT_NE(first, std::string::npos);
  EXPECT_NE(c.err.find(refused, first + 1), std::string::npos);
  const auto rows = memory_rows();
  ASSERT_EQ(rows.size(), 4U);
  EXPECT_EQ(rows[2].malid(), "60;96;3;60;96;60;96;3;0;60;96;3");
  EXPECT_EQ(rows[3].c(3) + ";" + rows[3].c(8), "-10;1");
  EXPECT_EQ(rows[0].f[memory_row::location_at], "119");
}

TEST_F(MemoryTest, HeapRowsCarryTheRunsSums) {
  kivw::trace_session s(options());
  s.malloc_wf(1, 0, 0x1000, 10, 16, 0, "");
  s.sbrk(0x800000, 4096);
  s.sbrk_gap(0x800000, 0x900000);
  s.malloc_wf(1, 0, 0x2000, 10, 16, 0, "");
  s.close();
  convert(s.header_path());
  const auto sbrk = rows("sbrk");
  ASSERT_EQ(sbrk.size(), 2U);
  const std::string ctx = "0;0;0;0;0;0;0;0;;0;;0";
  const std::string t0 = "2023-11-14 22:13:20.000";
  EXPECT_EQ(sbrk[0], "4711;7;" + t0 + ";1;S;0;1;" + ctx + ";8388608;4096;4096;1;0;0");
  EXPECT_EQ(sbrk[1], "4711;7;" + t0 + ";1;G;1;1;" + ctx + ";8388608;1048576;4096;1;1048576;1");
  EXPECT_EQ(memory_rows().at(1).sbrk(), "4096;1;1048576;1");
}

TEST_F(MemoryTest, ArenaRowsAreNumberedAcrossTheProgramRun) {
  kivw::mallinfo_values figures{100, 60, 40};
  auto opt = options();
  opt.mallinfo_source = [&] { return figures; };
  kivw::trace_session s(opt);
  s.sbrk(0x800000, 4096);
  figures = {200, 120, 80};
  s.sbrk(0x900000, 4096);
  s.close();
  convert(s.header_path());
  const auto arena = rows("arena");
  ASSERT_EQ(arena.size(), 2U);
  const std::string ctx = "0;0;0;0;0;0;0;0;;0;;0";
  const std::string t0 = "2023-11-14 22:13:20.000";
  EXPECT_EQ(arena[0], "4711;7;" + t0 + ";0;0;" + ctx + ";100;60;40");
  EXPECT_EQ(arena[1], "4711;7;" + t0 + ";0;1;" + ctx + ";200;120;80");
}

}  // namespace
