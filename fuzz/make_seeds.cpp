// Writes the seed corpora of the three harnesses with our trace writer:
//   <out>/header   header documents of every variant, closed and unclosed;
//   <out>/data     one input per record type and header variant, and one
//                  whole run per variant (first byte: the variant);
//   <out>/options  argument vectors, words separated by zero bytes.

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <sstream>
#include <string>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "writer/record_table.h"
#include "writer/trace_session.h"

namespace fs = std::filesystem;

namespace {

constexpr std::uint64_t sample_address = 0x10a0;
constexpr std::uint64_t sample_location = 0x4000;
constexpr unsigned sample_number = 3;
constexpr int debug_level_two = 2;

std::string read_bytes(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::ostringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

void save(const fs::path& p, const std::string& bytes) { kiv_fuzz::write_file(p.string(), bytes); }

constexpr int length_width = 2;

// One framed record of the type with a sample value in every element,
// encoded with the variant's byte order and widths.
std::string sample_record(const kivw::trace_options& opt, const kivw::record_info& rec) {
  kivw::payload_builder payload(opt.order);
  for (std::size_t i = 0; i < rec.elements.size(); ++i) {
    const int width = opt.widths.get(rec.tag, i);
    switch (rec.elements[i].conv) {
      case 's': payload.put_string("seed text"); break;
      case 'p': payload.put_uint(sample_address, width); break;
      case 'd': payload.put_int(sample_number, width); break;
      default: payload.put_uint(sample_number, width);
    }
  }
  kivw::payload_builder frame(opt.order);
  frame.put_uint(static_cast<unsigned char>(rec.tag), 1).put_uint(payload.size(), length_width);
  return frame.bytes() + payload.bytes();
}

// A plausible run touching every kind of record through the typed calls.
void whole_run(kivw::trace_session& s) {
  s.reserve_id(5, 64, sample_location, "alloc.c:10", 2, "proc:7 memory");
  s.reserve_id_colors(0, "red");
  s.reserve_id_colors(1, "blue");
  s.process_start(7, 1, "session");
  s.schedule(0, 7);
  s.object_load(1);
  s.object_link(7, 1);
  s.object_function_load(1, 1, "main");
  s.object_function_load(1, 2, "work");
  s.object_global_load(1, 1, "global");
  s.process_special_load(7, 0, "special");
  s.flow_in(1, 1, 1, 2);
  s.vorex_flow_in(1, 1, 1, sample_address, "args");
  s.symbol_new_sym(sample_address, 1, 2);
  s.symbol_dims(sample_address, 2, 3, 4, 0, 0);
  s.symbol_dd_name(sample_address, "dd");
  s.symbol_alloc(sample_address, 1, 16, "sym");
  s.query_in(0, 'p', "select 1");
  s.query_out(9, 0);
  s.malloc_wf(5, 1, sample_address, 10, 16, sample_location, "alloc.c:10");
  s.realloc_notify(sample_address);
  s.malloc_wf(5, 1, sample_address + 0x100, 20, 32, sample_location, "alloc.c:10");
  s.free_realloc(5, 1, sample_address + 0x100, sample_address, 20, 32, sample_location, "alloc.c:10");
  s.malloc_nf(5, 0, sample_address + 0x200, 8, 8, 0, "");
  s.free(5, 1, sample_address + 0x100, sample_location, "alloc.c:10");
  s.sbrk(0x20000, 4096);
  s.sbrk_gap(0x20000, 0x30000);
  s.mallinfo({100, 50, 50});
  s.marker("seed marker");
  s.vorex_flow_out(1, 1, 1, "args");
  s.flow_out();
  s.reset_id(5, sample_location, "alloc.c:10", 0, 8);
  s.free_id(5, sample_location, "alloc.c:10", 0, 0);
  s.process_end(7);
}

// Runs write into a scratch directory; returns the data file and header.
struct written {
  std::string data;
  std::string header;
};

template <typename Fill>
written write_run(const fs::path& scratch, int variant, const std::string& runid, Fill fill,
                  bool crash = false) {
  kivw::trace_session s(kiv_fuzz::variant_options(variant, scratch.string(), runid));
  fill(s);
  const std::string data_path = s.data_path(0);
  const std::string header_path = s.header_path();
  if (crash) s.crash();
  else s.close();
  return {read_bytes(data_path), read_bytes(header_path)};
}

void data_and_header_seeds(const fs::path& out, const fs::path& scratch) {
  for (int v = 0; v < kiv_fuzz::variant_count; ++v) {
    const std::string name = "_v" + std::to_string(v);
    const std::string selector(1, static_cast<char>(v));
    const kivw::trace_options opt = kiv_fuzz::variant_options(v, scratch.string(), "unused");
    for (const kivw::record_info& rec : kivw::header_order())
      save(out / "data" / (std::string("record_") + rec.name + name), selector + sample_record(opt, rec));
    const written whole = write_run(scratch, v, "whole" + name, whole_run);
    save(out / "data" / ("whole" + name), selector + whole.data);
    const char debug_selector = static_cast<char>(v + kiv_fuzz::variant_count * debug_level_two);
    save(out / "data" / ("whole_debug" + name), debug_selector + whole.data);
    save(out / "header" / ("closed" + name), whole.header);
    const written crashed = write_run(scratch, v, "crash" + name, whole_run, true);
    save(out / "header" / ("unclosed" + name), crashed.header);
  }
}

// Argument vectors touching every option, words separated by zero bytes.
void options_seeds(const fs::path& out) {
  const std::vector<std::vector<std::string>> vectors = {
      {"-R", "traces"},          {"-H", "run/kiv.7.kivhdr", "-M", "512M"},
      {"-sd", ",", "-sf", "@"},  {"-d", "-D", "-T", "a description"},
      {"-v"},                    {"-E"},
      {"-E", "errors", "-V"},    {"-M", "-1G"},
      {"-M", "99999999999G"},    {"-x"},
      {"word"},                  {"-s"},
      {"-sx", "-R"},             {"-R", "dir", "-H", "h.kivhdr", "-T"},
  };
  int n = 0;
  for (const auto& words : vectors) {
    std::string bytes;
    for (const std::string& w : words) {
      if (!bytes.empty()) bytes += '\0';
      bytes += w;
    }
    save(out / "options" / ("argv_" + std::to_string(n++)), bytes);
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s <output directory>\n", argv[0]);
    return 2;
  }
  const fs::path out = argv[1];
  for (const char* sub : {"header", "data", "options"}) fs::create_directories(out / sub);
  const fs::path scratch = kiv_fuzz::make_work_dir("seeds");
  data_and_header_seeds(out, scratch);
  options_seeds(out);
  return 0;
}
