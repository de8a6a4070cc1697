#include "memory/KivStat.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace {

// Writes through a real out_stream (the only writer the counters know) and
// returns what reached the file.
template <typename Fn>
std::string render(Fn&& write) {
  const auto path = std::filesystem::temp_directory_path() / ("kiv_stat_" + std::to_string(::getpid()) + ".csv");
  {
    out_stream os;
    if (!os.open(path.string(), true)) return "<open failed>";
    write(os);
  }
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  std::filesystem::remove(path);
  return ss.str();
}

// Restores the program-wide separator after a test changes it.
class SeparatorGuard {
 public:
  explicit SeparatorGuard(char sep) : saved_(data_sep) { data_sep = sep; }
  ~SeparatorGuard() { data_sep = saved_; }

 private:
  char saved_;
};

template <typename T>
std::string dump_all(const KivStat<T>& s) {
  return render([&](out_stream& os) {
    os << s.cur_wf << '|' << s.tot_wf << '|' << s.freed << '|' << s.cur_nf << '|' << s.peak_wf << '|'
       << s.sum_nf << '|' << s.recs << '|' << s.in_use;
  });
}

TEST(KivStatRec, DumpsCountAndCountOverDivisorAndClearKeepsDivisor) {
  KivStatRec<unsigned long long> rec(100);
  EXPECT_EQ(render([&](out_stream& os) { os << rec; }), "0;0");
  for (int i = 0; i < 250; ++i) rec.next();
  EXPECT_EQ(render([&](out_stream& os) { os << rec; }), "250;2");

  KivStatBase<unsigned long long>& base = rec;
  base.Clear();
  EXPECT_EQ(rec.count, 0u);
  EXPECT_EQ(rec.divisor, 100u);
  for (int i = 0; i < 1999; ++i) rec.next();
  EXPECT_EQ(render([&](out_stream& os) { os << rec; }), "1999;19");
}

TEST(KivStatPieces, DumpUsesTheProgramSeparatorAndVirtualClearZeroesEveryField) {
  SeparatorGuard sep(',');
  KivStatSize<long long> size;
  size.add_counted(10, 16);
  KivStatPeak<long long> peak;
  peak.add(3, 4);
  EXPECT_EQ(render([&](out_stream& os) { os << size << ';' << peak; }), "10,16,1;3,4");

  KivStatBase<long long>* pieces[] = {&size, &peak};
  for (auto* p : pieces) p->Clear();
  EXPECT_EQ(render([&](out_stream& os) { os << size << ';' << peak; }), "0,0,0;0,0");
}

// A block whose frees exceed its allocations goes negative; nothing clamps.
TEST(KivStat, SignedBlockDumpsNegativeValues) {
  KivStat<long long> s(100);
  s.allocate_wf(10, 16);
  s.free(30, 48);
  EXPECT_EQ(dump_all(s), "-20;-32;0|10;16;1|30;48;1|0;0;0|10;16|0;0|2;0|-20;-32");

  // The 32-bit colour blocks wrap instead of trapping when a long run
  // overflows them.
  KivStat<int> c(10);
  c.allocate_wf(2'000'000'000, 2'000'000'000);
  c.allocate_wf(2'000'000'000, 2'000'000'000);
  EXPECT_LT(c.tot_wf.size, 0);
  EXPECT_EQ(c.tot_wf.count, 2);
}

TEST(KivStat, AllocationThenFreeMovesEveryCounterAtIdAndColourLevel) {
  KivStat<unsigned long long> id(100);
  KivStat<unsigned long long> colour(10);
  EXPECT_EQ(id.allocate_wf(10, 16), 1u);
  colour.allocate_wf(10, 16);
  EXPECT_EQ(id.free(10, 16), 2u);
  EXPECT_EQ(colour.free_no_count(10, 16), 2u);

  EXPECT_EQ(dump_all(id), "0;0;0|10;16;1|10;16;1|0;0;0|10;16|0;0|2;0|0;0");
  // The colour level keeps its block count and counts no free.
  EXPECT_EQ(dump_all(colour), "0;0;1|10;16;1|10;16;0|0;0;0|10;16|0;0|2;0|0;0");
}

TEST(KivStat, NoFreeAllocationFeedsSumAndInUseButNotThePeak) {
  KivStat<unsigned long long> s(100);
  s.allocate_nf(7, 8);
  s.allocate_nf(1, 2);
  EXPECT_EQ(dump_all(s), "0;0;0|0;0;0|0;0;0|8;10;2|0;0|8;10|2;0|8;10");
  s.release_nf(8, 10);
  EXPECT_EQ(dump_all(s), "0;0;0|0;0;0|0;0;0|0;0;2|0;0|8;10|2;0|0;0");
}

TEST(KivStat, ReallocShrinkAndGrowAtIdLevel) {
  KivStat<unsigned long long> s(100);
  s.allocate_wf(100, 112);
  // 100 -> 40 in place: the 60 (and 64) given back are freed, counts stay.
  EXPECT_EQ(s.realloc_shrink(60, 64), 2u);
  EXPECT_EQ(dump_all(s), "40;48;1|100;112;1|60;64;0|0;0;0|100;112|0;0|2;0|40;48");
  // 40 -> 100: the growth is a full allocation, so block counts rise and the
  // peak follows the current value once it passes it.
  s.allocate_wf(60, 64);
  EXPECT_EQ(dump_all(s), "100;112;2|160;176;2|60;64;0|0;0;0|100;112|0;0|3;0|100;112");
  s.allocate_wf(1, 0);
  EXPECT_EQ(s.peak_wf.size, 101u);
  EXPECT_EQ(s.peak_wf.tot_size, 112u);
}

// Peaks are compared in the block's own type: after an unmatched free the
// current value is "huge" unsigned but negative signed.
TEST(KivStat, PeakComparisonFollowsTheCounterType) {
  KivStat<unsigned long long> u(100);
  KivStat<long long> s(100);
  u.free(10, 10);
  s.free(10, 10);
  u.allocate_wf(4, 4);
  s.allocate_wf(4, 4);
  EXPECT_EQ(u.peak_wf.size, static_cast<unsigned long long>(-6));
  EXPECT_EQ(s.peak_wf.size, 0);
  s.allocate_wf(20, 3);
  // Each field is maximised on its own: size rose to 14, tot_size stays 0
  // because cur tot_size is -3.
  EXPECT_EQ(s.peak_wf.size, 14);
  EXPECT_EQ(s.peak_wf.tot_size, 0);
}

TEST(KivStat, ClearingOperationsTouchOnlyTheirMembers) {
  auto filled = [] {
    KivStat<long long> s(100);
    s.allocate_wf(10, 16);
    s.allocate_wf(5, 8);
    s.free(5, 8);
    s.allocate_nf(3, 4);
    return s;
  };
  const std::string before = "10;16;1|15;24;2|5;8;1|3;4;1|15;24|3;4|4;0|13;20";
  EXPECT_EQ(dump_all(filled()), before);

  KivStat<long long> s = filled();
  s.clearstats();
  EXPECT_EQ(dump_all(s), "0;0;0|15;24;2|5;8;1|0;0;0|15;24|3;4|4;0|13;20");

  s = filled();
  s.clearstats_all();
  EXPECT_EQ(dump_all(s), "0;0;0|15;24;2|5;8;1|0;0;0|0;0|0;0|4;0|13;20");

  s = filled();
  s.clearstats_peak();
  EXPECT_EQ(dump_all(s), "10;16;1|15;24;2|5;8;1|3;4;1|15;24|3;4|4;0|0;0");
  EXPECT_EQ(s.recs.divisor, 100);
}

TEST(KivStat, ReleaseMovesAmountsOnlyAndCountsNoRecord) {
  KivStat<long long> s(100);
  s.allocate_wf(10, 16);
  s.release_wf(10, 16);
  EXPECT_EQ(dump_all(s), "0;0;1|10;16;1|0;0;0|0;0;0|10;16|0;0|1;0|0;0");
}

TEST(KivMalidStat, NullColourEntriesAreSkippedByClearingAndDestruction) {
  auto* m = new KivMalidStat<unsigned long long, unsigned long long>(100);
  m->set_colors(3);
  ASSERT_EQ(m->colors.size(), 3u);
  KivStat<unsigned long long>* c2 = m->add_color(2, 10);
  ASSERT_NE(c2, nullptr);
  EXPECT_EQ(m->add_color(2, 10), c2);  // a second description keeps the counters
  EXPECT_EQ(m->add_color(3, 10), nullptr);
  EXPECT_EQ(m->add_color(-1, 10), nullptr);
  EXPECT_EQ(m->color(0), nullptr);
  EXPECT_EQ(m->color(99), nullptr);

  c2->allocate_wf(4, 8);
  c2->allocate_nf(1, 1);
  m->clear_colors(&KivStat<unsigned long long>::clearstats_all);
  EXPECT_EQ(dump_all(*c2), "0;0;0|4;8;1|0;0;0|0;0;0|0;0|0;0|2;0|5;9");
  m->clear_colors(&KivStat<unsigned long long>::clearstats_peak);
  EXPECT_EQ(c2->in_use.size, 0u);
  EXPECT_EQ(c2->recs.divisor, 10u);
  delete m;  // the sanitizer build checks that c2 was freed and nulls were skipped
}

TEST(KivMalidStat, ProcessBlocksCreateEveryColourAtOnce) {
  KivMalidStat<long long, int> m(100, 4, 10);
  ASSERT_EQ(m.nr_colors, 4);
  for (int c = 0; c < 4; ++c) {
    ASSERT_NE(m.color(c), nullptr);
    EXPECT_EQ(m.color(c)->recs.divisor, 10);
  }
  EXPECT_EQ(m.stat.recs.divisor, 100);
  KivMalidStat<long long, int> none(100, -5, 10);
  EXPECT_EQ(none.nr_colors, 0);
  EXPECT_TRUE(none.colors.empty());
}

}  // namespace
