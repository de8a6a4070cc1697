#include "memory/KivMem.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <utility>
#include <vector>

namespace {

// The smallest allocation record the map works with; counts live instances
// so that the tests see every delete.
struct Block {
  unsigned long long sequence;
  unsigned size;
  unsigned tot_size;
  int color;
  std::string location_text;

  static inline int live = 0;
  Block(unsigned long long seq, unsigned sz, unsigned tot, int col, std::string loc = {})
      : sequence(seq), size(sz), tot_size(tot), color(col), location_text(std::move(loc)) {
    ++live;
  }
  ~Block() { --live; }
  Block(const Block&) = delete;
  Block& operator=(const Block&) = delete;
};

struct Freed {
  unsigned long long sequence;
  unsigned long long freeing_nr;
  char tag;
};

class KivMemTest : public ::testing::Test {
 protected:
  void SetUp() override { Block::live = 0; }
  void TearDown() override { EXPECT_EQ(Block::live, 0) << "blocks leaked or deleted twice"; }

  std::vector<Freed> clear(KivMem<Block*>& mem, int nr_colors, bool verbose, unsigned long long freeing_nr) {
    std::vector<Freed> freed;
    mem.clear_all_mem(nr_colors, verbose, kiv_e_free_id, freeing_nr, [&](const Block& b, unsigned long long nr, kiv_type tag) {
      freed.push_back({b.sequence, nr, static_cast<char>(tag)});
    });
    return freed;
  }
};

TEST_F(KivMemTest, DuplicateAddressIsRefusedReportedAndReleased) {
  KivMem<Block*> mem;
  auto* first = new Block(7, 10, 16, 0, "prog.4gl:12");
  EXPECT_TRUE(mem.add_memory(-4096, first));

  testing::internal::CaptureStderr();
  EXPECT_FALSE(mem.add_memory(-4096, new Block(8, 20, 32, 0, "other")));
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            " addr: -4096 already in DB!!! rec: 7 size: 10 hashlock: prog.4gl:12\n");
  EXPECT_EQ(Block::live, 1);  // the refused record is gone, the first stays
  EXPECT_EQ(mem.size(), 1u);
  EXPECT_EQ(mem.find(-4096), first);
  EXPECT_FALSE(mem.add_memory(5, nullptr));
  EXPECT_EQ(mem.size(), 1u);
}

TEST_F(KivMemTest, DeleteRemovesWithoutDeletingAndReportsMissingAddresses) {
  KivMem<Block*> mem;
  auto* b = new Block(1, 10, 16, 0);
  mem.add_memory(0x1000, b);
  EXPECT_EQ(mem.del_memory(0x1000), b);
  EXPECT_EQ(Block::live, 1);
  EXPECT_EQ(mem.find(0x1000), nullptr);
  delete b;

  testing::internal::CaptureStderr();
  EXPECT_EQ(mem.del_memory(0x1000), nullptr);
  EXPECT_EQ(mem.del_memory(-1), nullptr);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), " addr: 4096 is not in DB \n addr: -1 is not in DB \n");
}

// Many blocks with colliding probe runs, deleted in random order: every
// survivor must stay findable (checks the backward-shift deletion).
TEST_F(KivMemTest, LookupsSurviveGrowthAndDeletionInAnyOrder) {
  KivMem<Block*> mem;
  std::vector<long long> addrs;
  for (long long i = 0; i < 5000; ++i) addrs.push_back(0x7f0000000000LL + i * 16);
  for (long long i = 0; i < 50; ++i) addrs.push_back(-i * (1LL << 40));
  for (std::size_t i = 0; i < addrs.size(); ++i) ASSERT_TRUE(mem.add_memory(addrs[i], new Block(i + 1, 1, 1, 0)));
  EXPECT_EQ(mem.size(), addrs.size());

  std::mt19937 rng(42);
  std::shuffle(addrs.begin(), addrs.end(), rng);
  const std::size_t half = addrs.size() / 2;
  for (std::size_t i = 0; i < half; ++i) delete mem.del_memory(addrs[i]);
  EXPECT_EQ(mem.size(), addrs.size() - half);
  for (std::size_t i = 0; i < addrs.size(); ++i) {
    EXPECT_EQ(mem.find(addrs[i]) != nullptr, i >= half) << "address " << addrs[i];
  }
}

TEST_F(KivMemTest, ClearWalksAscendingAddressesWithOneFreeingNumber) {
  KivMem<Block*> mem;
  mem.add_memory(300, new Block(1, 10, 16, 0));
  mem.add_memory(-5, new Block(2, 20, 32, 1));
  mem.add_memory(100, new Block(3, 30, 48, 0));

  const auto freed = clear(mem, 2, false, 77);
  ASSERT_EQ(freed.size(), 3u);
  EXPECT_EQ(freed[0].sequence, 2u);
  EXPECT_EQ(freed[1].sequence, 3u);
  EXPECT_EQ(freed[2].sequence, 1u);
  for (const Freed& f : freed) {
    EXPECT_EQ(f.freeing_nr, 77u);
    EXPECT_EQ(f.tag, 'F');
  }
  EXPECT_EQ(mem.size(), 0u);
  EXPECT_EQ(Block::live, 0);

  // The map is usable again after a clear.
  EXPECT_TRUE(mem.add_memory(100, new Block(4, 1, 1, 0)));
  EXPECT_NE(mem.find(100), nullptr);
}

// Colours at or beyond nr_colors (and negative ones) are freed and counted in
// the totals but have no per-colour line of their own.
TEST_F(KivMemTest, VerboseClearReportsTotalsAndColourSums) {
  KivMem<Block*> mem;
  mem.add_memory(1, new Block(1, 10, 16, 0));
  mem.add_memory(2, new Block(2, 20, 32, 2));
  mem.add_memory(3, new Block(3, 5, 8, 0));
  mem.add_memory(4, new Block(4, 1000, 1000, 3));
  mem.add_memory(5, new Block(5, 100, 100, -1));
  mem.add_memory(6, new Block(6, 7, 7, 2'000'000'000));

  testing::internal::CaptureStdout();
  const auto freed = clear(mem, 3, true, 9);
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            " >clear_all_mem()\n"
            " >size     1142\n"
            " >tot_size 1163\n"
            " >> 0 tot_size 24 size     15\n"
            " >> 1 tot_size 0 size     0\n"
            " >> 2 tot_size 32 size     20\n");
  EXPECT_EQ(freed.size(), 6u);
}

TEST_F(KivMemTest, QuietClearOfAnEmptyMapWritesNothing) {
  KivMem<Block*> mem;
  testing::internal::CaptureStdout();
  EXPECT_TRUE(clear(mem, 4, false, 1).empty());
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");

  testing::internal::CaptureStdout();
  clear(mem, 1, true, 1);
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            " >clear_all_mem()\n >size     0\n >tot_size 0\n >> 0 tot_size 0 size     0\n");
}

TEST_F(KivMemTest, DestructionDeletesTheStoredBlocks) {
  auto* mem = new KivMem<Block*>;
  for (long long a = 0; a < 100; ++a) mem->add_memory(a * 8, new Block(1, 1, 1, 0));
  EXPECT_EQ(Block::live, 100);
  delete mem;
  EXPECT_EQ(Block::live, 0);
}

}  // namespace
