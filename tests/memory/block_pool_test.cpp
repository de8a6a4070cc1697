#include "memory/KivBlockPool.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <set>
#include <vector>

#include "memory/KivMemBlock.h"

namespace {

constexpr std::size_t per_chunk = 16;

// Slots of many chunks are distinct, aligned and fully usable; released
// slots are handed out again and the count of slots in use follows.
TEST(BlockPoolTest, SlotsAcrossChunksAreDistinctAlignedAndReused) {
  KivBlockPool pool(sizeof(KivMemBlock), alignof(KivMemBlock), per_chunk);
  std::vector<void*> slots;
  for (std::size_t i = 0; i < 10 * per_chunk + 3; ++i) {
    void* p = pool.allocate();
    ASSERT_EQ(reinterpret_cast<std::uintptr_t>(p) % alignof(KivMemBlock), 0u);
    std::memset(p, static_cast<int>(i), sizeof(KivMemBlock));
    slots.push_back(p);
  }
  EXPECT_EQ(std::set<void*>(slots.begin(), slots.end()).size(), slots.size());
  for (std::size_t i = 0; i < slots.size(); ++i)
    EXPECT_EQ(*static_cast<unsigned char*>(slots[i]), static_cast<unsigned char>(i)) << i;
  for (std::size_t i = 0; i < slots.size(); i += 2) pool.release(slots[i]);
  EXPECT_EQ(pool.in_use(), slots.size() / 2);
  for (std::size_t i = 0; i < slots.size(); i += 2) slots[i] = pool.allocate();
  EXPECT_EQ(pool.in_use(), slots.size());
  EXPECT_EQ(std::set<void*>(slots.begin(), slots.end()).size(), slots.size());
  for (void* p : slots) pool.release(p);
  pool.release(nullptr);
  EXPECT_EQ(pool.in_use(), 0u);
}

// Live blocks come from the pool through new and delete.
TEST(BlockPoolTest, LiveBlocksKeepTheirFields) {
  std::vector<KivMemBlock*> blocks;
  for (std::uint32_t i = 0; i < 10000; ++i) blocks.push_back(new KivMemBlock{i, "loc", i, i + 1, i % 7});
  for (std::uint32_t i = 0; i < blocks.size(); ++i) {
    EXPECT_EQ(blocks[i]->sequence, i);
    EXPECT_EQ(blocks[i]->tot_size, i + 1);
    EXPECT_EQ(blocks[i]->color, i % 7);
  }
  for (KivMemBlock* b : blocks) delete b;
}

}  // namespace
