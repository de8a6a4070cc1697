#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

// What the live-block maps keep of an allocation: a trace can end with
// millions of live blocks, so only what a later free, realloc or clearing
// needs is stored, not the whole decoded record with its context texts.
// The location text is a view into the source-location table, whose entries
// never change and live as long as the run.
struct KivMemBlock {
  std::uint64_t sequence = 0;  // run-wide memory record number of the allocation
  std::string_view location_text;
  std::uint32_t size = 0;
  std::uint32_t tot_size = 0;
  std::uint32_t color = 0;

  // Blocks live in a pool (KivBlockPool): no allocator header per block,
  // and an allocation or free costs a few instructions.
  static void* operator new(std::size_t size);
  static void operator delete(void* p) noexcept;
};
