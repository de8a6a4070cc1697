// Malloc ids through whole conversions: classification by name, the
// "malid" and "color" tables, free id and reset id with their reports.

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "memory/KivReserveId_db.h"
#include "memory_test_support.h"
#include "model/KivProcess.h"

namespace {

using kiv_memory_test::conversion;
using kiv_memory_test::fields_of;
using kiv_memory_test::lines_of;
using kiv_memory_test::memory_row;
using kiv_memory_test::MemoryTest;

constexpr const char* t0 = "2023-11-14 22:13:20.000";
constexpr const char* t_end = "2023-11-14 22:15:00.500";

// Columns 5 to 8 of a "malid" row: name, category, detail, detail2.
std::string naming(const std::string& row) {
  const auto f = fields_of(row);
  return f.at(4) + "|" + f.at(5) + "|" + f.at(6) + "|" + f.at(7);
}

TEST_F(MemoryTest, NamesAreClassifiedByTheirPrefix) {
  kivw::trace_session s(options());
  s.process_start(123, 1, "sess123");
  const std::vector<std::string> names = {
      "proc:123:abc",         "xml:proc 123:loc abc", "oic:nocolon",     "proc:nocolon",
      "oic:a:b:c",            "dlock:left:right",     "qdb:select x",    "make_new_sql_stmt:stmt1",
      "dbs_session:sess",     "plain heap",           "proc",            "xml",
      "oic",                  "dlockx",               "make_new_sql_stmt"};
  for (std::size_t i = 0; i < names.size(); ++i)
    s.reserve_id(static_cast<std::uint32_t>(i + 1), 64, 0, "", 1, names[i]);
  s.close();
  std::uint32_t mal_id = 0, xml_id = 0;
  convert_with(s.header_path(), [&](kiv_reader& rd) {
    const KivProcess* p = rd.proc_db().get_process(123);
    mal_id = p->mal_id;
    xml_id = p->xml_id;
  });

  const auto malid = rows("malid");
  ASSERT_EQ(malid.size(), names.size());
  std::vector<std::string> got;
  for (const std::string& r : malid) got.push_back(naming(r));
  const std::vector<std::string> expected = {
      "proc:123:abc|proc|abc|123",
      "xml:proc 123:loc abc|xml|sess123|123",
      "oic:nocolon|oic|nocolon|",
      "proc:nocolon|proc|nocolon|nocolon",
      "oic:a:b:c|oic|a|b:c",
      "dlock:left:right|dlock|left|right",
      "qdb:select x|qdb|select x|",
      "make_new_sql_stmt:stmt1|sql stmt|stmt1|",
      "dbs_session:sess|dbsession||sess",
      "plain heap|general||",
      // Names that end before their remainder starts have an empty one; a
      // missing pid reads as 0, the default process.
      "proc|proc||",
      "xml|xml|defaultproc|",
      "oic|oic||",
      "dlockx|dlock||",
      "make_new_sql_stmt|sql stmt||",
  };
  EXPECT_EQ(got, expected);
  EXPECT_EQ(mal_id, 1U);
  EXPECT_EQ(xml_id, 2U);
}

TEST_F(MemoryTest, LinkToAMissingProcessIsReportedAndTheIdStillClassified) {
  kivw::trace_session s(options());
  s.reserve_id(3, 64, 0, "", 1, "proc:99:lost");
  s.close();
  const conversion c = convert(s.header_path());
  EXPECT_EQ(c.out, "cannot happen: process id 99 is not on KivProcess_db \n");
  EXPECT_EQ(naming(rows("malid").at(0)), "proc:99:lost|proc|lost|99");
}

TEST_F(MemoryTest, MalidRowCutsDetailsButWritesTheNameWhole) {
  kivw::trace_session s(options());
  const std::string long_detail(350, 'q');
  const std::string long_detail2(250, 'd');
  s.reserve_id(1, 64, 0, "", 1, "qdb:" + long_detail);
  s.reserve_id(2, 64, 0, "", 1, "dbs_session:" + long_detail2);
  s.close();
  convert(s.header_path());
  const auto malid = rows("malid");
  ASSERT_EQ(malid.size(), 2U);
  const auto first = fields_of(malid[0]);
  EXPECT_EQ(first.at(4), "qdb:" + long_detail);
  EXPECT_EQ(first.at(6), long_detail.substr(0, 300));
  EXPECT_EQ(fields_of(malid[1]).at(7), long_detail2.substr(0, 200));
}

// A freed id keeps the time and record count of its free id record; an id
// still open gets the run's end and the final count, and no release row.
TEST_F(MemoryTest, OpenAndFreedIdsEndDifferently) {
  kivw::trace_session s(options());
  s.reserve_id(1, 64, 0, "", 1, "freed early");
  s.reserve_id(2, 128, 0, "", 1, "still open");
  s.malloc_wf(1, 0, 0x1000, 10, 16, 0, "");
  s.malloc_wf(2, 0, 0x2000, 10, 16, 0, "");
  clock_->set({1'700'000'005, 250'000'000});
  s.free_id(1, 0, "", 16, 0);
  s.malloc_wf(2, 0, 0x3000, 10, 16, 0, "");
  s.close();
  const conversion c = convert(s.header_path());
  EXPECT_EQ(c.records, 4U);
  EXPECT_EQ(c.out, "");
  const std::vector<std::string> expected = {
      std::string("4711;7;1;0;freed early;general;;;64;") + t0 + ";2023-11-14 22:13:25.250;0;2",
      std::string("4711;7;2;0;still open;general;;;128;") + t0 + ";" + t_end + ";0;4",
  };
  EXPECT_EQ(rows("malid"), expected);
  const auto memory = memory_rows();
  EXPECT_EQ(std::count_if(memory.begin(), memory.end(), [](const memory_row& r) { return r.tag() == 'F'; }), 1);
}

// Id 5 with two colours: with-free blocks of colour 1 and 0 at descending
// addresses, one no-free block of colour 0.
void three_blocks(kivw::trace_session& s) {
  s.reserve_id(5, 64, 0, "", 2, "pool");
  s.reserve_id_colors(0, "zero");
  s.reserve_id_colors(1, "one");
  s.malloc_wf(5, 1, 0x2000, 20, 32, 0, "");
  s.malloc_wf(5, 0, 0x1000, 10, 16, 0, "");
  s.malloc_nf(5, 0, 0x3000, 5, 8, 0, "");
}

TEST_F(MemoryTest, FreeIdWithMatchingTotalsIsSilentAndReleasesEveryBlock) {
  kivw::trace_session s(options());
  three_blocks(s);
  s.free_id(5, 0, "", 48, 8);
  s.close();
  const conversion c = convert(s.header_path());
  EXPECT_EQ(c.out, "");
  // With-free blocks first, in ascending address order, all freed by the
  // release's own record number.
  EXPECT_EQ(rows("freemem"), (std::vector<std::string>{"4711;7;2;4;F", "4711;7;1;4;F", "4711;7;3;4;F"}));
  const auto memory = memory_rows();
  ASSERT_EQ(memory.size(), 4U);
  const memory_row& f = memory[3];
  EXPECT_EQ(f.tag(), 'F');
  EXPECT_EQ(f.f[memory_row::recs_at], "4");
  EXPECT_EQ(f.f[memory_row::id_at], "5");
  EXPECT_EQ(f.c(1) + ";" + f.c(2) + ";" + f.c(3) + ";" + f.c(4) + ";" + f.c(5) + ";" + f.c(6) + ";" + f.c(7) + ";" +
                f.c(8),
            "0;0;-35;-56;35;56;0;0");
  EXPECT_EQ(f.color(), "0;0;0;0;0;0;0;0;0");
  EXPECT_EQ(f.process_c(), "0;0;0;0;0;0;0");
  // The id's own counters are cleared after the row; process and run levels
  // are already released (amounts only, block counts stay).
  EXPECT_EQ(f.malid(), "30;48;2;30;48;35;56;3;0;30;48;2");
  EXPECT_EQ(f.process(), "0;0;2;30;48;0;0;3;0;30;48;2");
  // The process id block is cleared, which leaves its bytes in use.
  EXPECT_EQ(f.process_m(), "0;0;0;35;56;3;0");
  EXPECT_EQ(f.global(), "0;0;2;30;48;0;0;1");
}

TEST_F(MemoryTest, FreeIdOfThreeBlocksFreesThemInAddressOrderUnderOneNumber) {
  kivw::trace_session s(options());
  s.reserve_id(5, 64, 0, "", 1, "pool");
  s.malloc_wf(5, 0, 0x3000, 1, 8, 0, "");
  s.malloc_wf(5, 0, 0x1000, 2, 8, 0, "");
  s.malloc_wf(5, 0, 0xb0000000, 3, 8, 0, "");  // negative: first in address order
  s.free_id(5, 0, "", 24, 0);
  s.close();
  EXPECT_EQ(convert(s.header_path()).out, "");
  EXPECT_EQ(rows("freemem"), (std::vector<std::string>{"4711;7;3;4;F", "4711;7;2;4;F", "4711;7;1;4;F"}));
}

TEST_F(MemoryTest, FreeIdWithDifferentTotalsPrintsTheFullReport) {
  kivw::trace_session s(options());
  three_blocks(s);
  s.free_id(5, 0, "", 50, 9);
  s.close();
  const conversion c = convert(s.header_path());
  EXPECT_EQ(c.out,
            "free_mem inconsistency WF in malid 5 tot_size_wf 50 vs actual 48\n"
            "free_mem inconsistency NF in malid 5 tot_size_nf 9 vs actual 8\n"
            "FREE ID \n"
            "totals for id 5 pool\n"
            " size_wf     30\n"
            " size_wf_tot 48\n"
            " >clear_all_mem()\n"
            " >size     30\n"
            " >tot_size 48\n"
            " >> 0 tot_size 16 size     10\n"
            " >> 1 tot_size 32 size     20\n"
            " c> 0 tot_size 16 size     10\n"
            " c> 1 tot_size 32 size     20\n"
            " size_nf     5\n"
            " size_nf_tot 8\n"
            " c> 0 tot_size 8 size     5\n"
            " c> 1 tot_size 0 size     0\n"
            " >clear_all_mem()\n"
            " >size     5\n"
            " >tot_size 8\n"
            " >> 0 tot_size 8 size     5\n"
            " >> 1 tot_size 0 size     0\n");
  EXPECT_EQ(rows("freemem").size(), 3U);
}

TEST_F(MemoryTest, ResetIdReportsUnderItsOwnName) {
  kivw::trace_session s(options());
  s.reserve_id(5, 64, 0, "", 1, "pool");
  s.malloc_wf(5, 0, 0x1000, 10, 16, 0, "");
  s.reset_id(5, 0, "", 0, 0);
  s.close();
  const conversion c = convert(s.header_path());
  EXPECT_EQ(c.out.substr(0, c.out.find("totals")),
            "free_mem inconsistency WF in malid 5 tot_size_wf 0 vs actual 16\nRESET ID \n");
  EXPECT_EQ(rows("freemem"), std::vector<std::string>{"4711;7;1;2;Z"});
  EXPECT_EQ(memory_rows().at(1).tag(), 'Z');
}

// After a free id the id counts from zero again but keeps its peak, totals
// and bytes in use; a reset id also restarts the peak and bytes in use.
TEST_F(MemoryTest, CountsAfterFreeIdAndAfterResetId) {
  kivw::trace_session s(options());
  s.reserve_id(5, 64, 0, "", 1, "pool");
  s.reserve_id_colors(0, "zero");
  s.malloc_wf(5, 0, 0x1000, 10, 16, 0, "");
  s.free_id(5, 0, "", 16, 0);
  s.malloc_wf(5, 0, 0x2000, 4, 8, 0, "");
  s.reset_id(5, 0, "", 8, 0);
  s.malloc_wf(5, 0, 0x3000, 2, 4, 0, "");
  s.close();
  const conversion c = convert(s.header_path());
  EXPECT_EQ(c.out, "");
  const auto memory = memory_rows();
  ASSERT_EQ(memory.size(), 5U);
  EXPECT_EQ(memory[2].malid(), "4;8;1;10;16;14;24;2;0;14;24;2");
  EXPECT_EQ(memory[2].color(), "4;8;1;10;16;14;24;2;0");
  EXPECT_EQ(memory[4].malid(), "2;4;1;2;4;2;4;3;0;16;28;3");
  EXPECT_EQ(memory[4].color(), "2;4;1;2;4;2;4;3;0");
  EXPECT_EQ(memory[4].f[memory_row::recs_at], "5");
  EXPECT_EQ(rows("freemem"), (std::vector<std::string>{"4711;7;1;2;F", "4711;7;3;4;Z"}));
}

// A free id for a number never reserved acts on the unknown id, which holds
// the blocks of every unreserved number.
TEST_F(MemoryTest, FreeIdOfAnUnreservedNumberReleasesTheUnknownId) {
  kivw::trace_session s(options());
  s.malloc_wf(55, 0, 0x1000, 10, 16, 0, "");
  s.free_id(55, 0, "", 16, 0);
  s.close();
  const conversion c = convert(s.header_path());
  EXPECT_EQ(c.out, "");
  EXPECT_EQ(rows("freemem"), std::vector<std::string>{"4711;7;1;2;F"});
  const auto memory = memory_rows();
  ASSERT_EQ(memory.size(), 2U);
  EXPECT_EQ(memory[1].f[memory_row::id_at], "99999999");
  EXPECT_EQ(memory[1].c(3), "-10");
  EXPECT_TRUE(rows("malid").empty());
  EXPECT_TRUE(rows("color").empty());
}

// Lookups are cached: a number looked up before it is reserved, and numbers
// that share a cache slot with it, each land on their own id afterwards.
TEST_F(MemoryTest, NumberUsedBeforeItsReserveCountsOnItsOwnIdAfterwards) {
  constexpr std::uint32_t early = 7, same_slot = 7 + 64 * 3;
  kivw::trace_session s(options());
  s.malloc_wf(early, 0, 0x1000, 10, 16, 0, "");
  s.reserve_id(early, 64, 0, "", 1, "general heap");
  s.malloc_wf(early, 0, 0x2000, 10, 16, 0, "");
  s.reserve_id(same_slot, 64, 0, "", 1, "string pool");
  s.malloc_wf(same_slot, 0, 0x3000, 10, 16, 0, "");
  s.malloc_wf(early, 0, 0x4000, 10, 16, 0, "");
  s.close();
  unsigned long long early_count = 0, same_slot_count = 0, unknown_count = 0;
  const conversion c = convert_with(s.header_path(), [&](kiv_reader& rd) {
    early_count = rd.malid_db().get_reserve_id(early)->stats.stat.tot_wf.count;
    same_slot_count = rd.malid_db().get_reserve_id(same_slot)->stats.stat.tot_wf.count;
    unknown_count = rd.malid_db().get_reserve_id(12345)->stats.stat.tot_wf.count;
  });
  EXPECT_EQ(c.out, "");
  EXPECT_EQ(early_count, 2U);
  EXPECT_EQ(same_slot_count, 1U);
  EXPECT_EQ(unknown_count, 1U);
}

TEST_F(MemoryTest, ColourTableNamesEveryColourOfEveryId) {
  kivw::trace_session s(options());
  s.reserve_id_colors(0, "before any id");
  s.reserve_id(5, 64, 0, "", 3, "pool");
  s.reserve_id_colors(0, "zero");
  s.reserve_id_colors(2, "two");
  s.reserve_id_colors(2, "two again");
  s.reserve_id_colors(3, "beyond");
  s.reserve_id(5, 64, 0, "", 1, "duplicate");
  s.reserve_id(6, 64, 0, "", 0, "no colours");
  s.close();
  const conversion c = convert(s.header_path());
  EXPECT_EQ(c.out, "Error mal_id 5 already found! \n");
  EXPECT_NE(c.err.find("Colour 3 \"beyond\" of malloc id 5 ignored: the id keeps colours below 3\n"),
            std::string::npos);
  const std::vector<std::string> expected = {"4711;7;5;0;zero", "4711;7;5;1;Bad Color", "4711;7;5;2;two again"};
  EXPECT_EQ(rows("color"), expected);
  EXPECT_EQ(naming(rows("malid").at(0)), "pool|general||");
}

// A colour count in the millions keeps storage and rows at the bound.
TEST_F(MemoryTest, HostileColourCountIsBounded) {
  kivw::trace_session s(options());
  s.reserve_id(7, 64, 0, "", 5'000'000, "many colours");
  s.reserve_id_colors(4095, "last kept");
  s.reserve_id_colors(4'999'999, "too far");
  s.malloc_wf(7, 4'999'999, 0x1000, 10, 16, 0, "");
  s.free_id(7, 0, "", 0, 0);
  s.close();
  const conversion c = convert(s.header_path());
  EXPECT_NE(c.err.find("color table: malloc id 7 declares 5000000 colours; only the first 4096 are written\n"),
            std::string::npos);
  EXPECT_NE(c.err.find("Colour 4999999 \"too far\" of malloc id 7 ignored: the id keeps colours below 4096\n"), std::string::npos);
  const auto colors = rows("color");
  ASSERT_EQ(colors.size(), 4096U);
  EXPECT_EQ(colors.back(), "4711;7;7;4095;last kept");
  // The verbose report lists the kept colours only.
  const auto out = lines_of(c.out);
  EXPECT_EQ(std::count_if(out.begin(), out.end(), [](const std::string& l) { return l.starts_with(" >> "); }),
            2 * 4096);
}

}  // namespace
