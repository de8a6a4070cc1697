// The producer's emission rules: file switching, time stamps, location
// descriptions, heap records and the realloc address.

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "test_dir.h"
#include "trace_decoder.h"
#include "writer/trace_session.h"

namespace {

using trace_test::decoded_record;
using trace_test::test_dir;

constexpr std::uint64_t check_interval = 32;
constexpr std::size_t time_interval = 1056;

kivw::trace_options rule_options(const std::string& dir) {
  kivw::trace_options opt;
  opt.dir = dir;
  opt.runid = "r";
  opt.pid = 9;
  opt.clock = std::make_shared<kivw::fake_clock>();
  opt.mallinfo_source = [] { return kivw::mallinfo_values{}; };
  return opt;
}

std::string tags(const std::vector<decoded_record>& records) {
  std::string s;
  for (const auto& r : records) s += r.tag;
  return s;
}

template <typename Calls>
std::vector<decoded_record> run(const test_dir& dir, kivw::trace_options opt, Calls calls) {
  std::string header;
  {
    kivw::trace_session s(std::move(opt));
    header = s.header_path();
    calls(s);
  }
  std::string error;
  auto records = trace_test::decode_run(dir.str(), trace_test::read_header(header), &error);
  EXPECT_EQ(error, "");
  return records;
}

TEST(WriterFileSwitch, SmallLimitSplitsAtCheckPointsWithTimeStampsFirst) {
  test_dir dir;
  auto opt = rule_options(dir.str());
  opt.size_limit = 4096;  // KIV_SIZE=4: switch once a file is past 3,584 bytes
  std::string header;
  unsigned files = 0;
  {
    kivw::trace_session s(opt);
    header = s.header_path();
    for (std::uint32_t i = 0; i < 2000; ++i) {
      // Irregular record sizes, so that switch points do not fall on a
      // multiple of 32 by accident.
      if (i % 3 == 0) s.marker(std::string(i * 7919 % 97, 'm'));
      else s.malloc_wf(1, 0, 0x1000 + i, i, i, 0, "");
    }
    files = s.file_count();
  }
  const auto h = trace_test::read_header(header);
  ASSERT_GT(files, 3u);
  ASSERT_EQ(h.files.size(), files);
  std::uint64_t global = 0;  // records before the current file
  for (unsigned f = 0; f < files; ++f) {
    char name[64];
    std::snprintf(name, sizeof name, "./r/kiv.9.%03u.kivdat", f);
    EXPECT_EQ(h.files[f].file, name);
    const std::string bytes = trace_test::read_file(dir.str() + "/" + h.files[f].file);
    EXPECT_EQ(h.files[f].size, std::to_string(bytes.size()));
    const auto d = trace_test::decode_data(bytes, h);
    ASSERT_EQ(d.error, "") << "records must not straddle files";
    ASSERT_FALSE(d.records.empty());
    if (f > 0) {
      EXPECT_EQ(d.records[0].tag, 'T') << f;
      EXPECT_EQ(global % check_interval, 0u) << "a switch happens only before every 32nd record";
    }
    const bool last = f + 1 == files;
    if (!last) {
      EXPECT_GT(bytes.size(), 3584u);
      // At the previous check point the file was still within the limit.
      const std::uint64_t prev_check = global + d.records.size() - check_interval;
      if (prev_check > global) {
        EXPECT_LE(d.records[prev_check - global].offset, 3584u) << f;
      }
    }
    global += d.records.size();
  }
}

TEST(WriterFileSwitch, BoundaryIsTheLimitLess512Bytes) {
  // 31 object loads of 7 bytes and one record of 8 + n bytes fill the file
  // to 512 + extra bytes when the 32nd check point comes.
  for (const std::size_t extra : {0u, 1u}) {
    test_dir dir;
    auto opt = rule_options(dir.str());
    opt.size_limit = 1024;
    unsigned files = 0;
    std::uint64_t first_size = 0;
    {
      kivw::trace_session s(opt);
      for (int i = 0; i < 31; ++i) s.object_load(1);
      s.symbol_dd_name(1, std::string(512 - 31 * 7 - 8 + extra, 'x'));
      first_size = s.current_file_size();
      s.object_load(2);
      files = s.file_count();
    }
    EXPECT_EQ(first_size, 512 + extra);
    EXPECT_EQ(files, extra == 0 ? 1u : 2u) << extra;
  }
}

TEST(WriterTimeStamps, PrecedeTheirRecordsAndRecurEvery1056Records) {
  test_dir dir;
  const auto records = run(dir, rule_options(dir.str()), [](kivw::trace_session& s) {
    s.process_start(1, 0, "p");
    s.schedule(0, 1);
    s.reserve_id(5, 8, 0x77, "loc.c:1", 1, "general");
    s.free_id(5, 0x77, "loc.c:1", 0, 0);
    s.free_id(5, 0x78, "loc.c:2", 0, 0);
    s.reset_id(5, 0x79, "loc.c:3", 0, 0);
    s.marker("m");
    s.process_end(1);
    for (int i = 0; i < 2 * static_cast<int>(time_interval) + 10; ++i) s.flow_in(1, 0, 1, 1);
  });
  const std::string t = tags(records);
  EXPECT_EQ(t.substr(0, 20), "TPTsTHRTFTHFHZTCTXII");
  // Counting from the process end's time stamp, 1,056 records pass before
  // each periodic time stamp.
  const std::size_t first = t.find('T', 17);
  ASSERT_NE(first, std::string::npos);
  EXPECT_EQ(first, 16 + 1 + time_interval);
  EXPECT_EQ(t.find('T', first + 1), first + 1 + time_interval);
  EXPECT_EQ(t.find('T', first + 1 + time_interval + 1), std::string::npos);
  // The clock moves on with every stamp.
  EXPECT_LT(records[0].numbers[1], records[2].numbers[1]);
}

TEST(WriterLocations, EachNonZeroLocationIsDescribedOnceBeforeItsFirstUse) {
  test_dir dir;
  const auto records = run(dir, rule_options(dir.str()), [](kivw::trace_session& s) {
    s.hashloc(0x30, "pre.c:1");
    s.malloc_wf(1, 0, 0x100, 1, 8, 0x10, "a.c:10");
    s.malloc_nf(1, 0, 0x200, 1, 8, 0x10, "ignored");
    s.free(1, 0, 0x100, 0x20, "a.c:20");
    s.free_realloc(1, 0, 0x200, 0x200, 2, 8, 0x20, "");
    s.reset_id(1, 0x10, "", 0, 0);
    s.malloc_wf(1, 0, 0x300, 1, 8, 0, "zero");
    s.free(1, 0, 0x300, 0x30, "again");
  });
  ASSERT_EQ(tags(records), "HHanHfrZaf");
  EXPECT_EQ(records[1].numbers[0], 0x10u);
  EXPECT_EQ(records[1].text, "a.c:10");
  EXPECT_EQ(records[4].text, "a.c:20");
}

TEST(WriterHeapRecords, WrittenOnlyOnChange) {
  test_dir dir;
  auto opt = rule_options(dir.str());
  auto figures = std::make_shared<std::vector<kivw::mallinfo_values>>(
      std::vector<kivw::mallinfo_values>{{10, 5, 5}, {10, 5, 5}, {20, 5, 15}, {20, 5, 15}, {20, 5, 15}});
  auto next = std::make_shared<std::size_t>(0);
  opt.mallinfo_source = [figures, next] { return (*figures)[std::min((*next)++, figures->size() - 1)]; };
  const auto records = run(dir, opt, [](kivw::trace_session& s) {
    s.sbrk(0x1000, 4096);      // S M
    s.sbrk(0x1000, 4096);      // nothing: same break, same figures
    s.sbrk_gap(0x1000, 0x3000);  // G M
    s.sbrk_gap(0x1000, 0x3000);  // nothing
    s.sbrk_gap(0x1000, 0x4000);  // G
    s.mallinfo({20, 5, 15});     // nothing
    s.mallinfo({1, 2, 3});       // M
  });
  ASSERT_EQ(tags(records), "SMGMGM");
  EXPECT_EQ(records[1].numbers, (std::vector<std::uint64_t>{10, 5, 5}));
  EXPECT_EQ(records[3].numbers, (std::vector<std::uint64_t>{20, 5, 15}));
  EXPECT_EQ(records[4].numbers, (std::vector<std::uint64_t>{0x1000, 0x4000}));
}

TEST(WriterRealloc, AnnouncedAddressGoesIntoTheNextAllocationOnly) {
  test_dir dir;
  const auto records = run(dir, rule_options(dir.str()), [](kivw::trace_session& s) {
    s.realloc_notify(0x500);
    s.malloc_nf(1, 0, 0x600, 1, 8, 0, "");
    s.malloc_wf(1, 0, 0x700, 1, 8, 0, "");
    s.malloc_wf(1, 0, 0x800, 1, 8, 0, "");
  });
  ASSERT_EQ(tags(records), "naa");
  EXPECT_EQ(records[1].numbers[3], 0x500u);
  EXPECT_EQ(records[2].numbers[3], 0u);
}

}  // namespace
