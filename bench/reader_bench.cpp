// The event loop over a generated trace: framing, decoding and dispatch of
// every record, the part of a conversion that grows with the trace.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <filesystem>
#include <iostream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "header/XmlParser.h"
#include "output/csv_file.h"
#include "output/csv_file_sequence.h"
#include "output/sql_script.h"
#include "reader/data_cursor.h"
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

constexpr std::uint32_t mix_ids = 8;
constexpr std::uint32_t mix_colours = 4;
constexpr std::uint32_t mix_rounds = 100'000;

// The memory records of a busy run: eight malloc ids with four colours each,
// allocations with and without free, reallocs in place that shrink and
// grow, frees; a block lives for a few rounds. Five records per round.
std::string write_memory_mix(const std::filesystem::path& dir) {
  kivw::trace_options opt;
  opt.dir = dir.string();
  opt.runid = "bench";
  opt.pid = 1;
  opt.size_limit = large_file_limit;
  opt.clock = std::make_shared<kivw::fake_clock>();
  opt.mallinfo_source = [] { return kivw::mallinfo_values{}; };
  kivw::trace_session s(opt);
  for (std::uint32_t id = 1; id <= mix_ids; ++id) {
    s.reserve_id(id, 64, 0, "", static_cast<std::int32_t>(mix_colours), "oic:bench" + std::to_string(id));
    for (std::uint32_t c = 0; c < mix_colours; ++c) s.reserve_id_colors(static_cast<std::int32_t>(c), "c");
  }
  constexpr std::uint32_t lifetime = 16;
  auto addr = [](std::uint32_t round) { return 0x7f0000000000ULL + 64ULL * round; };
  for (std::uint32_t i = 0; i < mix_rounds; ++i) {
    const std::uint32_t id = 1 + i % mix_ids;
    const auto colour = static_cast<std::int32_t>(i % mix_colours);
    const std::uint64_t loc = 0x1000 + (i % locations);
    const std::string text = "bench.c:" + std::to_string(loc);
    s.malloc_wf(id, colour, addr(i), 24 + i % 1000, 32 + i % 1000, loc, text);
    s.malloc_nf(id, colour, addr(i) + 32, 16, 24, loc, text);
    s.free_realloc(id, colour, addr(i), 0, 10 + i % 2000, 16 + i % 2000, loc, text);
    if (i >= lifetime) {
      const std::uint32_t old = i - lifetime;
      s.free_realloc(1 + old % mix_ids, static_cast<std::int32_t>(old % mix_colours), addr(old), 0, 8, 16, loc, text);
      s.free(1 + old % mix_ids, static_cast<std::int32_t>(old % mix_colours), addr(old), loc, text);
    }
  }
  s.close();
  return s.header_path();
}

// Converts the trace that make_trace writes, once per iteration; items are
// the memory records the loop reports.
template <typename MakeTrace>
void read_events(benchmark::State& state, const char* name, MakeTrace make_trace) {
  const auto dir = std::filesystem::temp_directory_path() / name;
  std::filesystem::remove_all(dir);
  std::filesystem::create_directories(dir);
  const auto old_cwd = std::filesystem::current_path();
  std::filesystem::current_path(dir);
  const std::string header = make_trace(".");
  std::ostringstream sink;
  auto* const old_err = std::cerr.rdbuf(sink.rdbuf());
  auto* const old_out = std::cout.rdbuf(sink.rdbuf());
  std::uint64_t before = 0;
  std::uint64_t records = 0;
  for (auto _ : state) {
    csv_file_sequence sequence("csv");
    sql_script script("sql");
    XmlParser parser(startElement, endElement, dataElement, nullptr);
    kiv_reader reader(&parser, &sequence, &script, ".", header.c_str(), "bench", true,
                      csv_file::default_max);
    const std::uint64_t total = reader.ReadEvents();
    records += total - before;
    before = total;
    sink.str({});
  }
  std::cerr.rdbuf(old_err);
  std::cout.rdbuf(old_out);
  state.SetItemsProcessed(static_cast<std::int64_t>(records));
  std::filesystem::current_path(old_cwd);
  std::filesystem::remove_all(dir);
}

// Decoding, every memory-record handler with its counters at all levels,
// live blocks and the "memory" and "freemem" rows.
void BM_ReadEventsMemoryMix(benchmark::State& state) {
  read_events(state, "kiv_bench_reader_mix", write_memory_mix);
}
BENCHMARK(BM_ReadEventsMemoryMix)->Unit(benchmark::kMillisecond);

// Element decoding alone: the seven fields of an allocation record, with
// the byte-order decoders chosen once, over a buffer of such payloads.
void BM_DecodeAllocationFields(benchmark::State& state) {
  constexpr std::size_t payload = 4 + 4 + 8 + 8 + 4 + 4 + 8;
  constexpr std::size_t count = 4096;
  std::vector<data_cursor::byte> bytes(payload * count);
  for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<data_cursor::byte>(i * 131 + 7);
  data_cursor cur;
  cur.set_little_endian(state.range(0) != 0);
  std::uint64_t sum = 0;
  for (auto _ : state) {
    cur.reset(bytes.data(), bytes.size());
    for (std::size_t r = 0; r < count; ++r) {
      std::uint32_t id = 0;
      std::uint32_t colour = 0;
      std::uint32_t size = 0;
      std::uint32_t tot_size = 0;
      std::int64_t addr = 0;
      std::int64_t addr_realloc = 0;
      std::int64_t location = 0;
      cur.read(4, id);
      cur.read(4, colour);
      cur.read(8, addr);
      cur.read(8, addr_realloc);
      cur.read(4, size);
      cur.read(4, tot_size);
      cur.read(8, location);
      sum += id + colour + size + tot_size + static_cast<std::uint64_t>(addr ^ addr_realloc ^ location);
    }
  }
  benchmark::DoNotOptimize(sum);
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * count));
}
BENCHMARK(BM_DecodeAllocationFields)->Arg(1)->Arg(0);

// Allocations each freed again.
void BM_ReadEvents(benchmark::State& state) { read_events(state, "kiv_bench_reader", write_trace); }

}  // namespace

BENCHMARK(BM_ReadEvents)->Unit(benchmark::kMillisecond);
