// The event loop over a generated trace: framing, decoding and dispatch of
// every record, the part of a conversion that grows with the trace.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <filesystem>
#include <iostream>
#include <memory>
#include <sstream>
#include <string>

#include "header/XmlParser.h"
#include "output/csv_file.h"
#include "output/csv_file_sequence.h"
#include "output/sql_script.h"
#include "reader/kiv_reader.h"
#include "writer/trace_session.h"

namespace {

constexpr std::uint32_t allocation_count = 500'000;
constexpr std::uint64_t locations = 64;
constexpr std::uint64_t large_file_limit = std::uint64_t{1} << 30;

// A run of allocations, each freed again, in one data file.
std::string write_trace(const std::filesystem::path& dir) {
  kivw::trace_options opt;
  opt.dir = dir.string();
  opt.runid = "bench";
  opt.pid = 1;
  opt.size_limit = large_file_limit;
  opt.clock = std::make_shared<kivw::fake_clock>();
  opt.mallinfo_source = [] { return kivw::mallinfo_values{}; };
  kivw::trace_session s(opt);
  s.reserve_id(1, 64, 0, "", 1, "oic:bench");
  for (std::uint32_t i = 0; i < allocation_count; ++i) {
    const std::uint64_t loc = 0x1000 + (i % locations);
    s.malloc_wf(1, 0, 0x100000 + 16ULL * i, 24, 32, loc, "bench.c:" + std::to_string(loc));
    s.free(1, 0, 0x100000 + 16ULL * i, loc, "bench.c:" + std::to_string(loc));
  }
  s.close();
  return s.header_path();
}

void BM_ReadEvents(benchmark::State& state) {
  const auto dir = std::filesystem::temp_directory_path() / "kiv_bench_reader";
  std::filesystem::remove_all(dir);
  std::filesystem::create_directories(dir);
  const auto old_cwd = std::filesystem::current_path();
  std::filesystem::current_path(dir);
  const std::string header = write_trace(".");
  // The reader's notices are not part of what is measured.
  std::ostringstream sink;
  auto* const old_err = std::cerr.rdbuf(sink.rdbuf());
  auto* const old_out = std::cout.rdbuf(sink.rdbuf());
  std::uint64_t records = 0;
  for (auto _ : state) {
    csv_file_sequence sequence("csv");
    sql_script script("sql");
    XmlParser parser(startElement, endElement, dataElement, nullptr);
    kiv_reader reader(&parser, &sequence, &script, ".", header.c_str(), "bench", true,
                      csv_file::default_max);
    records = reader.ReadEvents();
    benchmark::DoNotOptimize(records);
    sink.str({});
  }
  std::cerr.rdbuf(old_err);
  std::cout.rdbuf(old_out);
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()) * 2 * allocation_count);
  std::filesystem::current_path(old_cwd);
  std::filesystem::remove_all(dir);
}

}  // namespace

BENCHMARK(BM_ReadEvents)->Unit(benchmark::kMillisecond);
