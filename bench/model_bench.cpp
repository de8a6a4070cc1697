// The run model on a generated trace: 3GL entries and exits through a call
// tree, with allocations read inside the calls (each captures its context)
// under a current Vorex call; and the capture and writing of one context.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <filesystem>
#include <iostream>
#include <memory>
#include <sstream>
#include <string>

#include "header/XmlParser.h"
#include "model/KivEventContext.h"
#include "model/KivProcess.h"
#include "output/csv_file.h"
#include "output/csv_file_sequence.h"
#include "output/out_stream.h"
#include "output/sql_script.h"
#include "reader/kiv_reader.h"
#include "writer/trace_session.h"

namespace {

constexpr std::uint32_t call_count = 200'000;
constexpr std::int32_t functions = 64;
constexpr std::uint64_t large_file_limit = std::uint64_t{1} << 30;
constexpr std::uint32_t object_id = 3;
constexpr std::int32_t pid = 5;

// Process 5 calls pairs of functions of object 3: entry, nested entry, an
// allocation and its free, two exits.
std::string write_trace(const std::filesystem::path& dir) {
  kivw::trace_options opt;
  opt.dir = dir.string();
  opt.runid = "bench";
  opt.pid = 1;
  opt.size_limit = large_file_limit;
  opt.clock = std::make_shared<kivw::fake_clock>();
  opt.mallinfo_source = [] { return kivw::mallinfo_values{}; };
  kivw::trace_session s(opt);
  s.reserve_id(object_id, 0, 0, "", 1, "obj:bench");
  s.object_load(object_id);
  for (std::int32_t f = 1; f <= functions; ++f)
    s.object_function_load(object_id, f, "function_" + std::to_string(f));
  s.object_global_load(object_id, 0, "a_vorex_function_with_a_long_name");
  s.process_start(pid, 1, "bench");
  s.process_special_load(pid, 0, "entry");
  s.object_link(pid, object_id);
  s.schedule(0, pid);
  s.vorex_flow_in(object_id, 0, 0, 0x1234, "arguments longer than a short string");
  for (std::uint32_t i = 0; i < call_count; ++i) {
    const std::int32_t caller = 1 + static_cast<std::int32_t>(i % functions);
    const std::int32_t callee = 1 + static_cast<std::int32_t>((i / functions) % functions);
    s.flow_in(pid, 0, object_id, caller);
    s.flow_in(object_id, caller, object_id, callee);
    s.malloc_wf(1, 0, 0x100000 + 16ULL * i, 24, 32, 0, "");
    s.free(1, 0, 0x100000 + 16ULL * i, 0, "");
    s.flow_out();
    s.flow_out();
  }
  s.close();
  return s.header_path();
}

struct quiet {
  std::ostringstream sink;
  std::streambuf* err = std::cerr.rdbuf(sink.rdbuf());
  std::streambuf* out = std::cout.rdbuf(sink.rdbuf());
  ~quiet() {
    std::cerr.rdbuf(err);
    std::cout.rdbuf(out);
  }
};

struct bench_dir {
  std::filesystem::path dir;
  std::filesystem::path old_cwd = std::filesystem::current_path();
  explicit bench_dir(const char* name) : dir(std::filesystem::temp_directory_path() / name) {
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
    std::filesystem::current_path(dir);
  }
  ~bench_dir() {
    std::filesystem::current_path(old_cwd);
    std::filesystem::remove_all(dir);
  }
};

void BM_CallFlow(benchmark::State& state) {
  bench_dir where("kiv_bench_model_flow");
  const std::string header = write_trace(".");
  quiet q;
  for (auto _ : state) {
    csv_file_sequence sequence("csv");
    sql_script script("sql");
    XmlParser parser(startElement, endElement, dataElement, nullptr);
    kiv_reader reader(&parser, &sequence, &script, ".", header.c_str(), "bench", true,
                      csv_file::default_max);
    benchmark::DoNotOptimize(reader.ReadEvents());
    q.sink.str({});
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()) * 6 * call_count);
}

// Capture and write of one context on a process deep in a call.
void BM_ContextCaptureAndDump(benchmark::State& state) {
  bench_dir where("kiv_bench_model_context");
  const std::string header = write_trace(".");
  quiet q;
  csv_file_sequence sequence("csv");
  sql_script script("sql");
  XmlParser parser(startElement, endElement, dataElement, nullptr);
  kiv_reader reader(&parser, &sequence, &script, ".", header.c_str(), "bench", true,
                    csv_file::default_max);
  reader.ReadEvents();
  KivProcess* proc = reader.cc_curr_proc();
  Func_rel* caller = proc->find_function(object_id, 1, false);
  Func_rel* callee = proc->find_function(object_id, 2, false);
  proc->s_push(callee, caller->update_child(callee, *proc));
  out_stream os;
  os.open("context.out", true);
  for (auto _ : state) {
    const KivEventContext context(&reader);
    context.dumpcontext(os);
    os << '\n';
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()));
}

}  // namespace

BENCHMARK(BM_CallFlow)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ContextCaptureAndDump);
