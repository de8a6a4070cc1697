#include <gtest/gtest.h>

#include <string>

#include "reader_test_support.h"

namespace {

using kiv_test::conversion;
using kiv_test::ReaderTest;

// One record of every type, with values that show signs, hexadecimal and
// octal output, the session-name cut and the four dimensions.
void write_every_record(kivw::trace_session& s, kivw::fake_clock& clock) {
  s.reserve_id(3, 128, 0x4000, "alloc.c:10", 2, "oic:objects");
  s.reserve_id_colors(1, "blue");
  s.hashloc(0xfffffff0, "neg.c:16");
  s.malloc_wf(3, 1, 0x1000, 10, 16, 0x4000, "alloc.c:10");
  s.malloc_nf(3, 0, 0x2000, 20, 32, 0xfffffff0, "neg.c:16");
  s.free(3, 1, 0x1000, 0x5000, "free.c:5");
  s.free_realloc(3, 1, 0x3000, 0x2000, 30, 48, 0, "");
  s.sbrk(0x80000000, 4096);
  s.sbrk_gap(0x1000, 0x3000);
  s.mallinfo({100, 60, 40});
  s.process_start(5, 1, "sess one two");
  s.schedule(0, 5);
  s.process_special_load(5, -1, "special");
  s.object_load(3);
  s.object_link(5, 3);
  s.object_function_load(3, 2, "fun_two");
  s.object_global_load(3, 4, "global_four");
  s.flow_in(3, 0, 3, 2);
  s.vorex_flow_in(3, 2, 4, 0xabc, "a,b");
  s.vorex_flow_out(3, 2, 4, "a,b");
  s.flow_out();
  s.symbol_new_sym(0xdead0, 9, -2);
  s.symbol_dims(0xdead0, 1, 10, 20, 30, 40);
  s.symbol_alloc(0xdead0, 0755, 64, "sym_name");
  s.symbol_dd_name(0xdead0, "dd_type");
  s.query_in(11, 'p', "select 1");
  s.query_out(11, 0);
  clock.set({1'700'000'002, 999'999'999});
  s.marker("marker text");
  s.free_id(3, 0x4000, "alloc.c:10", 16, 32);
  s.reset_id(4, 0, "", 0, 0);
  s.schedule(5, 77);
  s.process_end(5);
  s.close();
}

// The record lines, from the opening of the first data file on (what comes
// before is the header parser's own debug output).
std::string record_trace(const std::string& err) {
  const auto start = err.find("Opening file:");
  return start == std::string::npos ? err : err.substr(start);
}

std::string expected_trace() {
  return kiv_test::read_file(std::string(KIV_READER_EXPECTED) + "/every_record.trace");
}

TEST_F(ReaderTest, DebugTraceOfEveryRecordType) {
  kivw::trace_session s(options());
  write_every_record(s, *clock_);
  debug_level = 2;
  const conversion c = convert(s.header_path());
  EXPECT_EQ(record_trace(c.err), expected_trace());
  EXPECT_EQ(c.out.find("OUT OF SYNC"), std::string::npos);
}

// The same run written big-endian decodes to the same trace.
TEST_F(ReaderTest, BigEndianTraceDecodesTheSame) {
  auto opt = options();
  opt.order = kivw::byte_order::big;
  kivw::trace_session s(opt);
  write_every_record(s, *clock_);
  debug_level = 2;
  EXPECT_EQ(record_trace(convert(s.header_path()).err), expected_trace());
}

}  // namespace
