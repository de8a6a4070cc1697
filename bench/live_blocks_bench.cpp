// Live-block maps of a leaky trace: heap bytes per live block (the map's
// slots plus the stored blocks, as the allocator counts them) and the speed
// of the allocate / free pattern of a trace.
#include <benchmark/benchmark.h>

#include <malloc.h>

#include <cstdint>
#include <memory>
#include <random>
#include <vector>

#include "memory/KivMem.h"
#include "memory/KivMemBlock.h"

namespace {

constexpr std::int64_t first_address = 0x7f0000001000;
constexpr std::int64_t block_alignment = 16;
constexpr std::uint32_t block_size = 48;
constexpr std::uint32_t block_tot_size = 64;

std::int64_t address(std::int64_t n) { return first_address + n * block_alignment; }

KivMemBlock* block(std::uint64_t nr) { return new KivMemBlock{nr, "prog.4gl:12", block_size, block_tot_size, 0}; }

// Heap in use by this process, in bytes (large tables are mapped on their
// own and counted apart).
std::size_t heap_in_use() {
  const struct mallinfo2 m = mallinfo2();
  return m.uordblks + m.hblkhd;
}

void BM_LiveBlocksHeapPerBlock(benchmark::State& state) {
  const auto n = state.range(0);
  double per_block = 0;
  for (auto _ : state) {
    const std::size_t before = heap_in_use();
    auto mem = std::make_unique<KivMem<KivMemBlock*>>();
    for (std::int64_t i = 0; i < n; ++i) mem->add_memory(address(i), block(static_cast<std::uint64_t>(i) + 1));
    per_block = static_cast<double>(heap_in_use() - before) / static_cast<double>(n);
    benchmark::DoNotOptimize(mem->size());
  }
  state.counters["heap_bytes_per_block"] = per_block;
}
BENCHMARK(BM_LiveBlocksHeapPerBlock)->Arg(1 << 20)->Arg(3 << 20)->Unit(benchmark::kMillisecond)->Iterations(1);

// Allocations and frees in random order around a steady live set.
void BM_LiveBlocksAllocFree(benchmark::State& state) {
  const auto live = state.range(0);
  KivMem<KivMemBlock*> mem;
  for (std::int64_t i = 0; i < live; ++i) mem.add_memory(address(i), block(static_cast<std::uint64_t>(i) + 1));
  std::mt19937_64 rng(42);
  std::uniform_int_distribution<std::int64_t> pick(0, live - 1);
  std::int64_t next = live;
  for (auto _ : state) {
    const std::int64_t victim = address(pick(rng));
    if (KivMemBlock* b = mem.find(victim)) {
      delete mem.del_memory(victim);
      (void)b;
    }
    mem.add_memory(address(next), block(static_cast<std::uint64_t>(next) + 1));
    ++next;
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_LiveBlocksAllocFree)->Arg(1 << 16)->Arg(1 << 20);

}  // namespace

BENCHMARK_MAIN();
