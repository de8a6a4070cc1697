// The flame graph of a run with 100,000 distinct stacks: merging them into
// the tree, pruning it, and writing the page's data.
#include <benchmark/benchmark.h>

#include <sstream>

#include "flame_workload.h"
#include "report/renderers.h"

namespace {

constexpr std::size_t stack_count = 100000;

const kivbench::flame_workload& workload() {
  static const kivbench::flame_workload w = kivbench::make_flame_workload(stack_count);
  return w;
}

kivdb::report::flame_tree_builder filled() {
  const auto& w = workload();
  kivdb::report::flame_tree_builder builder;
  for (std::size_t s = 0; s < w.stacks.size(); ++s) builder.add(w.stacks[s], w.values[s]);
  return builder;
}

void BM_FlameAdd(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(filled());
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * workload().frames));
  state.counters["frames"] = static_cast<double>(workload().frames);
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
