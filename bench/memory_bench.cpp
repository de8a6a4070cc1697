// Live-block map and counter updates: the two structures every memory record
// of a trace goes through.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdint>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "memory/KivMem.h"
#include "memory/KivStat.h"

namespace {

constexpr std::size_t block_count = 1'000'000;

struct Block {
  unsigned long long sequence = 0;
  unsigned size = 0;
  unsigned tot_size = 0;
  int color = 0;
  std::string location_text;
};

// Heap-like addresses: ascending with varying strides, as an allocator hands
// them out, and a shuffled copy for lookups in trace order.
struct Workload {
  std::vector<long long> addrs;
  std::vector<long long> shuffled;
  std::vector<std::unique_ptr<Block>> blocks;

  Workload() {
    std::mt19937_64 rng(7);
    long long addr = 0x7f3a00000000LL;
    for (std::size_t i = 0; i < block_count; ++i) {
      addr += 16 * static_cast<long long>(1 + rng() % 8);
      addrs.push_back(addr);
      blocks.push_back(std::make_unique<Block>(Block{i + 1, 32, 48, static_cast<int>(i % 4), {}}));
    }
    shuffled = addrs;
    std::shuffle(shuffled.begin(), shuffled.end(), rng);
  }
};

const Workload& workload() {
  static const Workload w;
  return w;
}

// The benchmark keeps ownership of the blocks, so every map is emptied with
// del_memory before it is destroyed.
void fill(KivMem<Block*>& mem, const Workload& w) {
  for (std::size_t i = 0; i < block_count; ++i) mem.add_memory(w.addrs[i], w.blocks[i].get());
}
void drain(KivMem<Block*>& mem, const Workload& w) {
  for (long long a : w.shuffled) benchmark::DoNotOptimize(mem.del_memory(a));
}

void BM_KivMemAdd(benchmark::State& state) {
  const Workload& w = workload();
  for (auto _ : state) {
    KivMem<Block*> mem;
    fill(mem, w);
    state.PauseTiming();
    state.counters["bytes_per_block"] =
        static_cast<double>(mem.capacity() * (sizeof(long long) + sizeof(Block*))) / static_cast<double>(mem.size());
    drain(mem, w);
    state.ResumeTiming();
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * block_count));
}
BENCHMARK(BM_KivMemAdd)->Unit(benchmark::kMillisecond);

void BM_KivMemFind(benchmark::State& state) {
  const Workload& w = workload();
  KivMem<Block*> mem;
  fill(mem, w);
  for (auto _ : state) {
    for (long long a : w.shuffled) benchmark::DoNotOptimize(mem.find(a));
  }
  drain(mem, w);
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * block_count));
}
BENCHMARK(BM_KivMemFind)->Unit(benchmark::kMillisecond);

void BM_KivMemDel(benchmark::State& state) {
  const Workload& w = workload();
  for (auto _ : state) {
    state.PauseTiming();
    KivMem<Block*> mem;
    fill(mem, w);
    state.ResumeTiming();
    drain(mem, w);
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * block_count));
}
BENCHMARK(BM_KivMemDel)->Unit(benchmark::kMillisecond);

// Freeing a whole id: sorted walk, one callback and one delete per block
// (the blocks are created untimed because the map deletes them).
void BM_KivMemClearAll(benchmark::State& state) {
  const Workload& w = workload();
  unsigned long long written = 0;
  for (auto _ : state) {
    state.PauseTiming();
    KivMem<Block*> mem;
    for (std::size_t i = 0; i < block_count; ++i) mem.add_memory(w.shuffled[i], new Block{i + 1, 32, 48, 1, {}});
    state.ResumeTiming();
    mem.clear_all_mem(4, false, kiv_e_free_id, 99,
                      [&](const Block& b, unsigned long long nr, kiv_type) { written += b.sequence ^ nr; });
  }
  benchmark::DoNotOptimize(written);
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * block_count));
}
BENCHMARK(BM_KivMemClearAll)->Unit(benchmark::kMillisecond);

// Baseline: the same add, find and delete on an ordered node map.
void BM_StdMapAddFindDel(benchmark::State& state) {
  const Workload& w = workload();
  for (auto _ : state) {
    std::map<long long, Block*> mem;
    for (std::size_t i = 0; i < block_count; ++i) mem.emplace(w.addrs[i], w.blocks[i].get());
    for (long long a : w.shuffled) benchmark::DoNotOptimize(mem.find(a));
    for (long long a : w.shuffled) mem.erase(a);
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * block_count));
}
BENCHMARK(BM_StdMapAddFindDel)->Unit(benchmark::kMillisecond);

void BM_KivMemAddFindDel(benchmark::State& state) {
  const Workload& w = workload();
  for (auto _ : state) {
    KivMem<Block*> mem;
    fill(mem, w);
    for (long long a : w.shuffled) benchmark::DoNotOptimize(mem.find(a));
    drain(mem, w);
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * block_count));
}
BENCHMARK(BM_KivMemAddFindDel)->Unit(benchmark::kMillisecond);

// One allocation and its free at the six levels a memory record moves.
void BM_KivStatSixLevels(benchmark::State& state) {
  KivStat<unsigned long long> run(1000);
  KivMalidStat<unsigned long long, unsigned long long> id(100, 4, 10);
  KivStat<long long> process(100);
  KivMalidStat<long long, int> process_id(100, 4, 10);
  unsigned size = 32;
  for (auto _ : state) {
    const int colour = static_cast<int>(size & 3);
    id.stat.allocate_wf(size, size + 16);
    id.colors[colour]->allocate_wf(size, size + 16);
    process.allocate_wf(size, size + 16);
    process_id.stat.allocate_wf(size, size + 16);
    process_id.colors[colour]->allocate_wf(static_cast<int>(size), static_cast<int>(size + 16));
    benchmark::DoNotOptimize(run.allocate_wf(size, size + 16));
    id.stat.free(size, size + 16);
    id.colors[colour]->free_no_count(size, size + 16);
    process.free(size, size + 16);
    process_id.stat.free(size, size + 16);
    process_id.colors[colour]->free_no_count(static_cast<int>(size), static_cast<int>(size + 16));
    benchmark::DoNotOptimize(run.free(size, size + 16));
    size = size * 7 % 4093 + 1;
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * 2));
}
BENCHMARK(BM_KivStatSixLevels);

}  // namespace
