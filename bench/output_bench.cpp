// Throughput of the table writer: rows of 100 integer fields, as wide as a
// "memory" row, written to a file under /tmp. The same rows through
// std::ofstream show what the buffered writer saves.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <unistd.h>
#include <vector>

#include "output/csv_file.h"
#include "output/csv_file_sequence.h"
#include "output/out_stream.h"
#include "output/sql_script.h"
#include "runtime/settings.h"

namespace {

constexpr int fields_per_row = 100;
constexpr int row_variants = 64;
// The file is started again after this many rows so that a long run does not
// fill the disk; the reopen cost is part of what is measured.
constexpr std::int64_t rows_per_file = 1 << 16;
// Size limit of the csv_file benchmark, like a small -M value.
constexpr std::int64_t table_limit = std::int64_t{64} << 20;

// Field values of the kinds a row carries: small counters, 32-bit ids and
// sizes, 64-bit addresses and negative deltas.
std::vector<std::int64_t> make_values() {
  std::mt19937_64 gen(4711);
  std::vector<std::int64_t> values(fields_per_row * row_variants);
  for (std::size_t i = 0; i < values.size(); ++i) {
    const std::uint64_t r = gen();
    switch (i % 4) {
      case 0: values[i] = static_cast<std::int64_t>(r % 1000); break;
      case 1: values[i] = static_cast<std::int64_t>(r % 4294967296u); break;
      case 2: values[i] = static_cast<std::int64_t>(r >> 1); break;
      default: values[i] = -static_cast<std::int64_t>(r % 100000); break;
    }
  }
  return values;
}

const std::vector<std::int64_t>& values() {
  static const std::vector<std::int64_t> v = make_values();
  return v;
}

std::filesystem::path bench_dir() {
  auto dir = std::filesystem::temp_directory_path() / ("kiv_bench_output_" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  return dir;
}

template <typename Stream>
void write_row(Stream& out, std::int64_t row) {
  const std::int64_t* v = values().data() + (row % row_variants) * fields_per_row;
  out << v[0];
  for (int i = 1; i < fields_per_row; ++i) out << data_sep << v[i];
  out << '\n';
}

void finish(benchmark::State& state, const std::filesystem::path& dir, std::uint64_t bytes) {
  state.SetItemsProcessed(state.iterations());
  state.SetBytesProcessed(static_cast<std::int64_t>(bytes));
  std::filesystem::remove_all(dir);
}

void BM_OutStreamRows(benchmark::State& state) {
  const auto dir = bench_dir();
  const std::string path = (dir / "rows.csv").string();
  out_stream out;
  out.open(path, true);
  std::int64_t row = 0;
  std::uint64_t bytes = 0;
  for (auto _ : state) {
    write_row(out, row);
    if (++row % rows_per_file == 0) {
      bytes += out.tellp();
      out.open(path, true);
    }
  }
  bytes += out.tellp();
  out.close();
  finish(state, dir, bytes);
}
BENCHMARK(BM_OutStreamRows);

void BM_OfstreamRows(benchmark::State& state) {
  const auto dir = bench_dir();
  const std::string path = (dir / "rows.csv").string();
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  std::int64_t row = 0;
  std::uint64_t bytes = 0;
  for (auto _ : state) {
    write_row(out, row);
    if (++row % rows_per_file == 0) {
      bytes += static_cast<std::uint64_t>(out.tellp());
      out.close();
      out.open(path, std::ios::binary | std::ios::trunc);
    }
  }
  bytes += static_cast<std::uint64_t>(out.tellp());
  out.close();
  finish(state, dir, bytes);
}
BENCHMARK(BM_OfstreamRows);

// Formatting and buffering alone: the rows go to /dev/null.
void BM_OutStreamRowsNoDisk(benchmark::State& state) {
  out_stream out;
  out.open("/dev/null", true);
  std::int64_t row = 0;
  for (auto _ : state) write_row(out, row++);
  state.SetItemsProcessed(state.iterations());
  state.SetBytesProcessed(static_cast<std::int64_t>(out.tellp()));
}
BENCHMARK(BM_OutStreamRowsNoDisk);

// Through the table file as the event loop uses it: the stream is asked for
// before every row, with the size check on, so full files are rotated.
void BM_CsvFileRows(benchmark::State& state) {
  const auto dir = bench_dir();
  csv_file_sequence seq("csv");
  sql_script script("sql");
  script.set_path(dir.string(), "bench", 1, true);
  std::uint64_t bytes = 0;
  {
    csv_file table(&seq, &script, "memory", dir.string(), "bench", true);
    table.set_max(table_limit);
    table.add_check(true);
    std::int64_t row = 0;
    int number = 1;
    for (auto _ : state) {
      out_stream& out = table.get_stream();
      const std::uint64_t before = out.tellp();
      if (before == 0 && row > 0) {
        // A new file was started: drop the full one so the page cache does
        // not fill with written files (as in the other benchmarks).
        state.PauseTiming();
        std::filesystem::remove(dir / seq.generate_file_name("memory", "bench", number++));
        state.ResumeTiming();
      }
      write_row(out, row++);
      bytes += out.tellp() - before;
    }
  }
  finish(state, dir, bytes);
}
BENCHMARK(BM_CsvFileRows);

}  // namespace

BENCHMARK_MAIN();
