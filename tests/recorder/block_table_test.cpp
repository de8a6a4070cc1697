// The recorder's live-block table against a std::map model: insertions,
// removals that shift probe runs back, growth, and clearing.

#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <random>

#include "recorder/block_table.h"

namespace {

using kivrec::block_info;
using kivrec::block_table;

// Heap-like addresses: 16-byte aligned and clustered, so that probe runs
// collide and wrap around the end of the table.
std::uint64_t heap_address(std::mt19937_64& rng) { return 0x5555'0000'0000ULL + (rng() % 200'000) * 16; }

TEST(BlockTable, AgreesWithAMapThroughInsertsRemovesAndGrowth) {
  block_table table;
  std::map<std::uint64_t, block_info> model;
  std::mt19937_64 rng(7);
  for (int step = 0; step < 400'000; ++step) {
    const std::uint64_t address = heap_address(rng);
    block_info got;
    if (rng() % 3 != 0) {
      const block_info info{static_cast<std::uint16_t>(rng() % 600), static_cast<std::uint8_t>(rng() % 8)};
      ASSERT_TRUE(table.insert(address, info));
      model[address] = info;
    } else {
      const auto it = model.find(address);
      ASSERT_EQ(table.remove(address, &got), it != model.end());
      if (it != model.end()) {
        EXPECT_EQ(got.id, it->second.id);
        EXPECT_EQ(got.color, it->second.color);
        model.erase(it);
      }
    }
  }
  ASSERT_EQ(table.size(), model.size());
  for (const auto& [address, info] : model) {
    block_info got;
    ASSERT_TRUE(table.find(address, &got)) << address;
    EXPECT_EQ(got.id, info.id);
  }
  table.clear();
  block_info got;
  EXPECT_FALSE(table.find(model.begin()->first, &got));
  EXPECT_EQ(table.size(), 0u);
  EXPECT_TRUE(table.insert(16, {1, 0}));
  EXPECT_TRUE(table.find(16, &got));
}

}  // namespace
