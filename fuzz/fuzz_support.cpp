#include "fuzz/fuzz_support.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <streambuf>
#include <vector>

#include "writer/record_table.h"

namespace kiv_fuzz {

namespace {

constexpr std::int32_t traced_pid = 7;
constexpr kivw::time_value run_start{1'700'000'000, 0};
constexpr kivw::time_value run_end{1'700'000'100, 500'000'000};
constexpr std::int64_t clock_step_ns = 1'000'000;

enum variant_kind { little_endian, big_endian, decodable_widths, undecodable_widths };

// Widths given to the numeric elements in turn, by element position.
constexpr int decodable_cycle[] = {8, 1, 2};
constexpr int undecodable_cycle[] = {0, 3, 9};

template <std::size_t N>
void cycle_widths(kivw::element_widths& widths, const int (&cycle)[N]) {
  for (const kivw::record_info& rec : kivw::header_order())
    for (std::size_t i = 0; i < rec.elements.size(); ++i)
      if (rec.elements[i].conv != 's') widths.set(rec.tag, i, cycle[i % N]);
}

std::vector<std::string>& dirs_to_remove() {
  static std::vector<std::string> dirs;
  return dirs;
}

void remove_work_dirs() {
  std::error_code ec;
  for (const std::string& dir : dirs_to_remove()) std::filesystem::remove_all(dir, ec);
}

}  // namespace

kivw::trace_options variant_options(int variant, const std::string& dir, const std::string& runid) {
  kivw::trace_options opt;
  opt.dir = dir;
  opt.runid = runid;
  opt.pid = traced_pid;
  opt.clock = std::make_shared<kivw::fake_clock>(run_start, clock_step_ns);
  opt.mallinfo_source = [] { return kivw::mallinfo_values{}; };
  opt.trailer.time_start = run_start;
  opt.trailer.time_end = run_end;
  opt.trailer.progname = "fuzzed";
  switch (variant) {
    case big_endian: opt.order = kivw::byte_order::big; break;
    case decodable_widths: cycle_widths(opt.widths, decodable_cycle); break;
    case undecodable_widths: cycle_widths(opt.widths, undecodable_cycle); break;
    default: break;
  }
  return opt;
}

std::string make_work_dir(const char* purpose) {
  std::string pattern = (std::filesystem::temp_directory_path() / "kiv_fuzz_").string() + purpose + "_XXXXXX";
  if (::mkdtemp(pattern.data()) == nullptr) {
    std::perror("kiv fuzz: cannot create a scratch directory");
    std::abort();
  }
  if (dirs_to_remove().empty()) std::atexit(remove_work_dirs);
  dirs_to_remove().push_back(pattern);
  return pattern;
}

// Output is thrown away inside the process, the way /dev/null would take
// it, without a system call per field: debug output is heavy.
class discard_buffer : public std::streambuf {
 public:
  discard_buffer() { setp(area_, area_ + sizeof area_); }

 protected:
  int_type overflow(int_type c) override {
    setp(area_, area_ + sizeof area_);
    return traits_type::not_eof(c);
  }
  std::streamsize xsputn(const char*, std::streamsize n) override { return n; }

 private:
  char area_[4096];
};

void silence_output() {
  static discard_buffer sink;
  std::cout.rdbuf(&sink);
  std::cerr.rdbuf(&sink);
}

bool write_file(const std::string& path, std::string_view bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  return static_cast<bool>(out);
}

}  // namespace kiv_fuzz
