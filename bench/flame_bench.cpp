// The flame graph of a run with 100,000 distinct stacks: merging them into
// the tree, pruning it, and writing the page's data. The stacks are built
// like a real program's: a few outer frames shared by everything, branching
// below, C++-sized function names, a handful of objects.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <sstream>
#include <string>
#include <vector>

#include "report/flame_tree.h"
#include "report/renderers.h"

namespace {

using kivdb::report::flame_values;
using kivdb::report::stack_frame;

constexpr std::size_t stack_count = 100000;
constexpr std::uint64_t min_depth = 8;
constexpr std::uint64_t extra_depth = 40;
constexpr std::uint64_t shared_levels = 4;  // levels with two choices only
constexpr std::uint64_t branching = 6;
constexpr std::uint64_t functions = 5000;

struct workload {
  std::vector<std::vector<stack_frame>> stacks;  // allocation site first
  std::vector<flame_values> values;
  std::size_t frames = 0;
};

const workload& stacks() {
  static const workload w = [] {
    workload out;
    std::uint64_t seed = 1;
    const auto next = [&seed](std::uint64_t range) {
      seed = seed * 6364136223846793005ull + 1442695040888963407ull;
      return (seed >> 33) % range;
    };
    const char* const objects[] = {"prog", "libc.so.6", "libstdc++.so.6", "libpython3.11.so.1.0", "libz.so.1"};
    for (std::size_t s = 0; s < stack_count; ++s) {
      std::vector<stack_frame> stack;
      const std::uint64_t depth = min_depth + next(extra_depth);
      std::uint64_t path = 0;
      for (std::uint64_t level = 0; level < depth; ++level) {
        path = path * 7 + next(level < shared_levels ? 2 : branching);
        const std::uint64_t f = path % functions;
        stack.push_back({"ns::function_" + std::to_string(f) + "<std::vector<int, std::allocator<int>>>",
                         "src/module" + std::to_string(f % 300) + ".cpp",
                         static_cast<std::uint32_t>(path % 900 + 1), objects[f % 5]});
      }
      out.frames += stack.size();
      out.stacks.emplace_back(stack.rbegin(), stack.rend());
      out.values.push_back({next(100000), next(300000), 1 + next(100)});
    }
    return out;
  }();
  return w;
}

kivdb::report::flame_tree_builder filled() {
  const workload& w = stacks();
  kivdb::report::flame_tree_builder builder;
  for (std::size_t s = 0; s < w.stacks.size(); ++s) builder.add(w.stacks[s], w.values[s]);
  return builder;
}

void BM_FlameAdd(benchmark::State& state) {
  const workload& w = stacks();
  for (auto _ : state) benchmark::DoNotOptimize(filled());
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * w.frames));
  state.counters["frames"] = static_cast<double>(w.frames);
}
BENCHMARK(BM_FlameAdd)->Unit(benchmark::kMillisecond);

void BM_FlameBuild(benchmark::State& state) {
  const auto builder = filled();
  std::size_t nodes = 0;
  for (auto _ : state) nodes = builder.build().nodes.size();
  state.counters["nodes"] = static_cast<double>(nodes);
}
BENCHMARK(BM_FlameBuild)->Unit(benchmark::kMillisecond);

void BM_FlamePage(benchmark::State& state) {
  kivdb::report::report_data data;
  data.flame = filled().build();
  std::size_t bytes = 0;
  for (auto _ : state) {
    std::ostringstream out;
    kivdb::report::write_html(out, data, 10);
    bytes = out.str().size();
  }
  state.counters["page_bytes"] = static_cast<double>(bytes);
}
BENCHMARK(BM_FlamePage)->Unit(benchmark::kMillisecond);

}  // namespace
