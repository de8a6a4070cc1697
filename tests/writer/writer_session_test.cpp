// Framing, encoding, header and end-of-run behaviour of trace_session,
// checked through an independent decoder.

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "test_dir.h"
#include "trace_decoder.h"
#include "writer/trace_session.h"

namespace {

using trace_test::decoded_header;
using trace_test::decoded_record;
using trace_test::test_dir;

kivw::trace_options base_options(const std::string& dir) {
  kivw::trace_options opt;
  opt.dir = dir;
  opt.runid = "run1";
  opt.pid = 4711;
  opt.clock = std::make_shared<kivw::fake_clock>(kivw::time_value{1'000, 0}, 1'000'000);
  opt.mallinfo_source = [] { return kivw::mallinfo_values{100, 60, 40}; };
  opt.trailer = {std::nullopt, std::nullopt, "prog", "tester", "kre1", "pacc1", "host1"};
  return opt;
}

struct run_result {
  decoded_header header;
  std::vector<decoded_record> records;
  std::string error;
};

run_result decode(const std::string& dir, const std::string& header_path) {
  run_result r;
  r.header = trace_test::read_header(header_path);
  r.records = trace_test::decode_run(dir, r.header, &r.error);
  return r;
}

std::string tags(const std::vector<decoded_record>& records) {
  std::string s;
  for (const auto& r : records) s += r.tag;
  return s;
}

TEST(WriterFraming, EveryTypedCallDecodesToItsValues) {
  test_dir dir;
  std::string header;
  {
    kivw::trace_session s(base_options(dir.str()));
    ASSERT_TRUE(s.active());
    header = s.header_path();
    s.process_start(12, 1, "sess");
    s.malloc_wf(3, 1, 0x1000, 10, 16, 0x4000, "a.c:1");
    s.malloc_nf(3, 0, 0x2000, 20, 32, 0x4000, "a.c:1");
    s.free_realloc(3, 1, 0x1000, 0x1000, 40, 48, 0x4010, "a.c:2");
    s.free(3, 1, 0x1000, 0, "");
    s.flow_in(5, 0, 5, 2);
    s.flow_out();
    s.schedule(0, 12);
    s.reserve_id(3, 64, 0x4020, "a.c:3", 2, "qdb:x");
    s.reserve_id_colors(1, "blue");
    s.free_id(3, 0x4020, "a.c:3", 10, 20);
    s.reset_id(4, 0x4030, "a.c:4", -1, 0);
    s.object_load(5);
    s.object_link(12, 5);
    s.object_function_load(5, 1, "f1");
    s.object_global_load(5, 0, "g0");
    s.vorex_flow_in(5, 1, 0, 0xabc, "x=1");
    s.vorex_flow_out(5, 1, 0, "");
    s.marker("here");
    s.query_in(7, 'p', "select 1");
    s.query_out(7, 0);
    s.symbol_new_sym(0x500, 1, 2);
    s.symbol_dims(0x500, 2, 3, 4, 0, 0);
    s.symbol_alloc(0x500, 0x1, 8, "v");
    s.symbol_dd_name(0x500, "dom");
    s.process_special_load(12, 0, "main");
    s.timestamp({77, 88});
    s.process_end(12);
  }
  const auto r = decode(dir.str(), header);
  ASSERT_EQ(r.error, "");
  EXPECT_EQ(tags(r.records), "TPHanHrfIOTsTHRcTFHZLplbioTCQqdDyYBTTX");
  using nums = std::vector<std::uint64_t>;
  const auto& rec = r.records;
  EXPECT_EQ(rec[0].numbers, (nums{1000, 1'000'000}));  // clock: header start took 1000.000
  EXPECT_EQ(rec[1].numbers, (nums{12, 1}));
  EXPECT_EQ(rec[1].text, "sess");
  EXPECT_EQ(rec[2].numbers, (nums{0x4000}));
  EXPECT_EQ(rec[2].text, "a.c:1");
  EXPECT_EQ(rec[3].numbers, (nums{3, 1, 0x1000, 0, 10, 16, 0x4000}));
  EXPECT_EQ(rec[4].numbers, (nums{3, 0, 0x2000, 20, 32, 0x4000}));
  EXPECT_EQ(rec[6].numbers, (nums{3, 1, 0x1000, 0x1000, 40, 48, 0x4010}));
  EXPECT_EQ(rec[7].numbers, (nums{3, 1, 0x1000, 0}));
  EXPECT_EQ(rec[8].numbers, (nums{5, 0, 5, 2}));
  EXPECT_EQ(rec[9].length, 0);
  EXPECT_EQ(rec[11].numbers, (nums{0, 12}));
  EXPECT_EQ(rec[14].numbers, (nums{3, 64, 0x4020, 2}));
  EXPECT_EQ(rec[14].text, "qdb:x");
  EXPECT_EQ(rec[15].text, "blue");
  EXPECT_EQ(rec[17].numbers, (nums{3, 0x4020, 10, 20}));
  EXPECT_EQ(rec[19].numbers, (nums{4, 0x4030, 0xffffffff, 0}));
  EXPECT_EQ(rec[24].numbers, (nums{5, 1, 0, 0xabc}));
  EXPECT_EQ(rec[24].text, "x=1");
  EXPECT_EQ(rec[25].text, "");
  EXPECT_EQ(rec[25].length, 13);  // three numbers and the empty string's zero byte
  EXPECT_EQ(rec[28].numbers, (nums{7, 'p'}));
  EXPECT_EQ(rec[31].numbers, (nums{0x500, 2, 3, 4, 0, 0}));
  EXPECT_EQ(rec[32].numbers, (nums{0x500, 1, 8}));
  EXPECT_EQ(rec[35].numbers, (nums{77, 88}));
}

TEST(WriterFraming, ByteOrderGovernsLengthAndElements) {
  for (const auto order : {kivw::byte_order::little, kivw::byte_order::big}) {
    test_dir dir;
    auto opt = base_options(dir.str());
    opt.order = order;
    std::string data;
    std::string header;
    {
      kivw::trace_session s(opt);
      s.flow_in(1, 2, 3, -4);
      s.flow_out();
      s.marker("");
      s.close();
      data = trace_test::read_file(s.data_path(0));
      header = trace_test::read_file(s.header_path());
    }
    const bool little = order == kivw::byte_order::little;
    const std::string flow_in = little ? std::string("I\x10\x00\x01\x00\x00\x00\x02\x00\x00\x00\x03\x00\x00\x00\xfc\xff\xff\xff", 19)
                                       : std::string("I\x00\x10\x00\x00\x00\x01\x00\x00\x00\x02\x00\x00\x00\x03\xff\xff\xff\xfc", 19);
    ASSERT_GE(data.size(), 22u);
    EXPECT_EQ(data.substr(0, 19), flow_in);
    EXPECT_EQ(data.substr(19, 3), std::string("O\0\0", 3));
    // Time stamp (3 + 8 bytes) then the marker: a one-byte payload.
    EXPECT_EQ(data.substr(33), little ? std::string("C\x01\x00\x00", 4) : std::string("C\x00\x01\x00", 4));
    EXPECT_NE(header.find(little ? "<endianess values=\"l\"/>" : "<endianess values=\"B\"/>"), std::string::npos);
  }
}

TEST(WriterFraming, OverlongStringIsCutToFitTheLengthField) {
  test_dir dir;
  std::string header;
  {
    kivw::trace_session s(base_options(dir.str()));
    header = s.header_path();
    s.symbol_dd_name(1, std::string(70000, 'x'));
    s.object_load(2);
  }
  const auto h = trace_test::read_header(header);
  std::string error;
  const auto records = trace_test::decode_run(dir.str(), h, &error);
  ASSERT_EQ(error, "");
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[0].length, 65535);
  EXPECT_EQ(records[0].text, std::string(65535 - 4 - 1, 'x'));
  EXPECT_EQ(records[1].tag, 'L');
}

TEST(WriterFraming, DeclaredWidthsShapeHeaderAndPayload) {
  test_dir dir;
  auto opt = base_options(dir.str());
  opt.order = kivw::byte_order::big;
  opt.widths.set('a', 0, 1);  // id
  opt.widths.set('a', 1, 8);  // color, sign-extended
  opt.widths.set('a', 2, 2);  // addr, low bytes kept
  opt.widths.set('a', 4, 3);  // size, odd width
  opt.widths.set('T', 0, 8);
  std::string header;
  {
    kivw::trace_session s(opt);
    header = s.header_path();
    s.malloc_wf(0x1ff, -2, 0x12345, 0xabcdef, 16, 0, "");
    s.timestamp({-5, 6});
  }
  const auto r = decode(dir.str(), header);
  ASSERT_EQ(r.error, "");
  ASSERT_EQ(tags(r.records), "aT");
  EXPECT_EQ(r.header.width('a', 0), 1);
  EXPECT_EQ(r.header.width('a', 1), 8);
  EXPECT_EQ(r.header.width('a', 3), 4);
  EXPECT_EQ(r.records[0].length, 1 + 8 + 2 + 4 + 3 + 4 + 4);
  EXPECT_EQ(r.records[0].numbers,
            (std::vector<std::uint64_t>{0xff, 0xfffffffffffffffe, 0x2345, 0, 0xabcdef, 16, 0}));
  EXPECT_EQ(trace_test::as_signed(r.records[1].numbers[0], 8), -5);
}

TEST(WriterHeader, ListsEntriesFieldsFilesAndTrailer) {
  test_dir dir;
  std::string header;
  std::string name0;
  {
    kivw::trace_session s(base_options(dir.str()));
    header = s.header_path();
    name0 = s.data_name(0);
    s.malloc_wf(1, 0, 0x10, 1, 8, 0, "");
  }
  EXPECT_EQ(header, dir.str() + "/run1/kiv.4711.kivhdr");
  EXPECT_EQ(name0, "./run1/kiv.4711.000.kivdat");
  const auto h = trace_test::read_header(header);
  EXPECT_EQ(h.text.rfind("<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?>\n<kiv>\n", 0), 0u);
  std::string order;
  for (const auto& e : h.entries) order += e.tag;
  EXPECT_EQ(order, "HanfrSGRcFZIOsPXBLplbioQqCTMyDYd");
  for (const auto& e : h.entries)
    for (std::size_t i = 0; i < e.elems.size(); ++i) {
      const bool text = i + 1 == e.elems.size() && std::string("HRcPBlbioQCyY").find(e.tag) != std::string::npos;
      EXPECT_EQ(e.elems[i].second, text ? 0 : 4) << e.tag << i;
    }
  const auto* a = h.entry('a');
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(a->name, "kiv_e_malloc_wf");
  EXPECT_EQ(a->desc, "Malloc with free");
  EXPECT_EQ(a->format, "%u %d %p %p %u %u %p ");
  EXPECT_EQ(a->elems[3].first, "addr_realloc");
  EXPECT_EQ(h.entry('D')->desc, "3GL Symbol Dimenstions");
  EXPECT_TRUE(h.entry('O')->elems.empty());
  EXPECT_EQ(h.values.at("version"), std::vector<std::string>{"1"});
  EXPECT_EQ(h.values.at("filetype"), std::vector<std::string>{"bin"});
  EXPECT_EQ(h.values.at("pid"), std::vector<std::string>{"4711"});
  EXPECT_EQ(h.values.at("runid"), std::vector<std::string>{"run1"});
  EXPECT_EQ(h.values.at("m_entry").size(), 1u);
  EXPECT_EQ(h.values.at("time_start"), (std::vector<std::string>{"1000", "0"}));
  EXPECT_EQ(h.values.at("time_end"), (std::vector<std::string>{"1000", "1000000"}));
  EXPECT_EQ(h.values.at("progname"), std::vector<std::string>{"prog"});
  EXPECT_EQ(h.values.at("hostname"), std::vector<std::string>{"host1"});
  EXPECT_EQ(h.values.at("pacc"), std::vector<std::string>{"pacc1"});
  ASSERT_EQ(h.files.size(), 1u);
  EXPECT_EQ(h.files[0].file, name0);
  EXPECT_EQ(h.files[0].size, "31");
  EXPECT_TRUE(h.closed);
  // The trailer follows the last kivfile block.
  EXPECT_LT(h.text.find("</kivfile>"), h.text.find("<time_start"));
}

TEST(WriterHeader, VariantsAndEscaping) {
  test_dir dir;
  auto opt = base_options(dir.str());
  opt.variant.omit_endianess = true;
  opt.variant.version = "2";
  opt.variant.filetype = "asc";
  opt.variant.omit_entries = {'M'};
  opt.variant.entry_xml['T'] = "    <entry tag=\"T\"><elem name=\"tv_secs\" size=\"4\"/></entry>";
  opt.variant.extra_entries = {"    <entry tag=\"ab\" name=\"dup\" desc=\"d\"><elem name=\"x\" size=\"8\"/></entry>"};
  opt.variant.unnamed_entries = {'k'};
  opt.variant.extra_top = {"  <m_entry size=\"99\"/>", "  <mystery/>"};
  opt.trailer.progname = "a<b&\"c\"";
  std::string header;
  {
    kivw::trace_session s(opt);
    header = s.header_path();
  }
  const auto h = trace_test::read_header(header);
  EXPECT_EQ(h.values.count("endianess"), 0u);
  EXPECT_EQ(h.values.at("version"), std::vector<std::string>{"2"});
  EXPECT_EQ(h.values.at("filetype"), std::vector<std::string>{"asc"});
  EXPECT_EQ(h.entry('M'), nullptr);
  EXPECT_EQ(h.entry('T')->elems.size(), 1u);
  EXPECT_EQ(h.entry('a')->name, "dup");  // the later entry of a tag
  ASSERT_NE(h.entry('k'), nullptr);
  EXPECT_EQ(h.entry('k')->name, "unknown");
  EXPECT_EQ(h.entry('k')->desc, "Unknown type");
  EXPECT_NE(h.text.find("<mystery/>\n  <entries>"), std::string::npos);
  EXPECT_NE(h.text.find("<progname name=\"a&lt;b&amp;&quot;c&quot;\"/>"), std::string::npos);
}

TEST(WriterEndOfRun, CrashOmittedBlocksAndRawKivfiles) {
  test_dir dir;
  std::string header;
  std::string file1;
  {
    kivw::trace_session s(base_options(dir.str()));
    header = s.header_path();
    s.object_load(1);
    s.switch_file(kivw::kivfile_block::omit);
    s.object_load(2);
    s.raw_kivfile("./run1/missing.kivdat", "100");
    s.raw_kivfile(s.data_name(0), "4000");
    s.switch_file();
    s.object_load(3);
    file1 = s.data_path(1);
    s.crash();
    s.object_load(4);  // ignored after the crash
  }
  const auto h = trace_test::read_header(header);
  EXPECT_FALSE(h.closed);
  EXPECT_EQ(h.values.count("time_start"), 0u);
  ASSERT_EQ(h.files.size(), 3u);
  EXPECT_EQ(h.files[0].file, "./run1/missing.kivdat");
  EXPECT_EQ(h.files[1].size, "4000");
  EXPECT_EQ(h.files[2].file, "./run1/kiv.4711.001.kivdat");
  EXPECT_EQ(h.files[2].size, "18");  // time stamp and one load record
  // The listed size is the file's real size; the crashed last file was flushed.
  EXPECT_EQ(std::filesystem::file_size(file1), 18u);
  const auto last = trace_test::decode_data(trace_test::read_file(dir.str() + "/run1/kiv.4711.002.kivdat"), h);
  EXPECT_EQ(tags(last.records), "TL");
}

TEST(WriterEndOfRun, UnopenableFilesStopTracing) {
  test_dir dir;
  std::string header;
  {
    kivw::trace_session s(base_options(dir.str()));
    header = s.header_path();
    // A directory where the next data file should go makes it fail to open.
    std::filesystem::create_directory(s.data_path(1));
    s.object_load(1);
    s.switch_file();
    EXPECT_FALSE(s.active());
    s.object_load(2);
  }
  const auto h = trace_test::read_header(header);
  EXPECT_NE(h.text.find("<error value=\"cammot open KIV trace file " + dir.str() + "/run1/kiv.4711.001.kivdat\"/>\n"
                        "  <error value=\"cannot open trace file 1\"/>\n"
                        "  <trace value=\"KIV has been stopped\"/>"),
            std::string::npos);
  ASSERT_EQ(h.files.size(), 1u);
  EXPECT_EQ(h.files[0].size, "7");
  EXPECT_TRUE(h.closed);

  testing::internal::CaptureStderr();
  auto opt = base_options(dir.str() + "/no/such");
  kivw::trace_session broken(opt);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "cannot create KIV trace dir " + dir.str() + "/no/such/run1\n");
  EXPECT_FALSE(broken.active());
  broken.malloc_wf(1, 0, 1, 1, 1, 0, "");
}

TEST(WriterRawLayer, WritesExactlyWhatIsAsked) {
  test_dir dir;
  auto opt = base_options(dir.str());
  opt.order = kivw::byte_order::big;
  std::string data;
  {
    kivw::trace_session s(opt);
    s.raw_record('z', "ab");
    s.raw_record('a', 60000, "x");
    s.encoded('c', {3});
    s.encoded('O', {1, 2});
    s.raw_bytes("\x01\x02");
    kivw::payload_builder b(kivw::byte_order::big);
    b.put_uint(0x0102, 2).put_int(-1, 3).put_string("s");
    s.raw_record('Y', b.bytes());
    EXPECT_EQ(s.record_count(), 0u);
    s.close();
    data = trace_test::read_file(s.data_path(0));
  }
  EXPECT_EQ(data, std::string("z\x00\x02" "ab"
                              "a\xea\x60" "x"
                              "c\x00\x05\x00\x00\x00\x03\x00"
                              "O\x00\x00"
                              "\x01\x02"
                              "Y\x00\x07\x01\x02\xff\xff\xffs\x00",
                              32));
}

TEST(WriterTextTrace, OneLinePerRecordWithItsConversions) {
  test_dir dir;
  auto opt = base_options(dir.str());
  opt.format = kivw::data_format::text;
  std::string data;
  std::string header;
  {
    kivw::trace_session s(opt);
    s.malloc_wf(1, -2, 0x1000, 10, 16, 0, "");
    s.flow_out();
    s.query_in(3, 'b', "select x");
    s.close();
    data = trace_test::read_file(s.data_path(0));
    header = trace_test::read_file(s.header_path());
  }
  EXPECT_EQ(data, "a 1 -2 0x1000 (nil) 10 16 (nil) \nO \nQ 3 98 select x \n");
  EXPECT_NE(header.find("<filetype type=\"asc\"/>"), std::string::npos);
}

TEST(WriterDeterminism, SameCallsGiveSameBytes) {
  std::string first_data;
  std::string first_header;
  for (int round = 0; round < 2; ++round) {
    test_dir dir;
    kivw::trace_session s(base_options(dir.str()));
    for (std::uint32_t i = 0; i < 3000; ++i) s.malloc_wf(i % 7, 0, 0x1000 + i, i, i + 8, 0x40 + i % 5, "x.c");
    s.close();
    const std::string data = trace_test::read_file(s.data_path(0));
    const std::string header = trace_test::read_file(s.header_path());
    if (round == 0) {
      first_data = data;
      first_header = header;
      continue;
    }
    EXPECT_EQ(data, first_data);
    EXPECT_EQ(header, first_header);
  }
}

}  // namespace
