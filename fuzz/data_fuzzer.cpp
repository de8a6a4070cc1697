// Arbitrary bytes as the data file of a run whose header our writer wrote:
// the whole conversion runs, every table is written. The first byte picks
// the header variant, the debug level and the table size limit; the rest is
// the data file.

#include <cstddef>
#include <cstdint>
#include <string>
#include <unistd.h>

#include "driver/process_file.h"
#include "fuzz/fuzz_support.h"
#include "output/csv_file.h"
#include "output/csv_file_sequence.h"
#include "output/sql_script.h"
#include "reader/kiv_reader.h"
#include "runtime/settings.h"
#include "writer/trace_session.h"

namespace {

constexpr const char* runid = "fz";
constexpr const char* header_name = "kiv.7.kivhdr";
constexpr int debug_levels = 3;
// Small enough that a few hundred rows start new table files.
constexpr std::int64_t small_table_limit = 4096;

struct choice {
  int variant;
  int debug;
  bool small_tables;
};

choice choose(std::uint8_t selector) {
  unsigned rest = selector;
  choice c{};
  c.variant = static_cast<int>(rest % kiv_fuzz::variant_count);
  rest /= kiv_fuzz::variant_count;
  c.debug = static_cast<int>(rest % debug_levels);
  rest /= debug_levels;
  c.small_tables = rest % 2 != 0;
  return c;
}

}  // namespace

// The header names its data file relative to the working directory, as a
// traced run does, so the harness works inside its scratch directory.
extern "C" int LLVMFuzzerInitialize(int*, char***) {
  kiv_fuzz::silence_output();
  if (::chdir(kiv_fuzz::make_work_dir("data").c_str()) != 0) __builtin_trap();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const choice c = choose(data[0]);
  {
    kivw::trace_session run(kiv_fuzz::variant_options(c.variant, ".", runid));
    run.raw_bytes(kiv_fuzz::as_text(data + 1, size - 1));
    run.close();
  }
  // A fresh program run each time: counters and settings at their start.
  kiv_counters = {};
  debug_level = c.debug;
  data_sep = default_separator;
  fun_sep = default_separator;
  csv_file_sequence sequence("csv");
  sql_script script("sql");
  process_file(&sequence, &script, runid, header_name, "fuzzed data", true,
               c.small_tables ? small_table_limit : csv_file::default_max);
  debug_level = 0;
  return 0;
}
