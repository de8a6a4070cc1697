#include "report/renderers.h"

#include <gtest/gtest.h>

#include <sstream>

namespace kivdb::report {
namespace {

report_data sample() {
  report_data d;
  d.summary = {.run_id = "4711", .program = "prog", .host = "host1", .user = "anna",
               .start_time = "2024-01-02 03:04:05.006", .end_time = "2024-01-02 03:04:09.000",
               .processes = 2, .memory_records = 1234, .headers = 1, .peak_bytes = 5000,
               .peak_blocks = 12, .peak_record = 17, .peak_time = "2024-01-02 03:04:06.000",
               .peak_pid = 99, .peak_image = 1, .live_bytes_at_end = 300, .live_blocks_at_end = 3,
               .nofree_bytes_at_end = 4096, .cut_short = {}};
  top_list leaks{"leaks_by_location", "Leaks by location", {"name"}, {"bytes", "blocks"}, {}, {}};
  leaks.rows = {{{"a.c:10"}, {200, 2}}, {{"b \"q\".c:7"}, {100, 1}}};
  top_list malids{"peak_by_malid", "Peak by malloc id", {"name", "category"}, {"bytes", "malid"}, {}, {}};
  malids.rows = {{{"heap", "general"}, {5000, 10017}}};
  top_list none{"temporary_by_location", "Temporary allocations", {"name"}, {"blocks"}, {}, {}};
  d.lists = {leaks, malids, none};
  return d;
}

TEST(JsonReport, WholeDocumentWithTopLimit) {
  std::ostringstream out;
  write_json(out, sample(), 1);
  EXPECT_EQ(out.str(),
            "{\n"
            "  \"run_id\": \"4711\",\n"
            "  \"memory_records\": 1234,\n"
            "  \"headers\": 1,\n"
            "  \"peak_bytes\": 5000,\n"
            "  \"peak_blocks\": 12,\n"
            "  \"peak_record\": 17,\n"
            "  \"peak_pid\": 99,\n"
            "  \"peak_image\": 1,\n"
            "  \"live_bytes_at_end\": 300,\n"
            "  \"live_blocks_at_end\": 3,\n"
            "  \"nofree_bytes_at_end\": 4096,\n"
            "  \"cut_short\": false,\n"
            "  \"cut_short_reasons\": [],\n"
            "  \"leaks_by_location\": [\n"
            "    {\"name\": \"a.c:10\", \"bytes\": 200, \"blocks\": 2}\n"
            "  ],\n"
            "  \"peak_by_malid\": [\n"
            "    {\"name\": \"heap\", \"category\": \"general\", \"bytes\": 5000, \"malid\": 10017}\n"
            "  ],\n"
            "  \"temporary_by_location\": []\n"
            "}\n");
}

TEST(JsonReport, StringsAreEscapedAndAlwaysValidUtf8) {
  EXPECT_EQ(json_string("a\"b\\c\n\t\x01"), "\"a\\\"b\\\\c\\n\\t\\u0001\"");
  EXPECT_EQ(json_string("gr\xC3\xBC\xC3\x9F"), "\"gr\xC3\xBC\xC3\x9F\"");  // valid: unchanged
  EXPECT_EQ(json_string("\xFF" "x"), "\"\xEF\xBF\xBDx\"");                // stray byte
  EXPECT_EQ(json_string("\xC3"), "\"\xEF\xBF\xBD\"");                     // cut sequence
  EXPECT_EQ(json_string("\xE0\x80\x80"), "\"\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\"");  // overlong
  EXPECT_EQ(json_string("\xED\xA0\x80").find("\xED"), std::string::npos);              // surrogate
  EXPECT_EQ(json_string("\xF0\x9F\x98\x80"), "\"\xF0\x9F\x98\x80\"");
}

TEST(TextReport, SummaryAndAlignedTopLists) {
  std::ostringstream out;
  write_text(out, sample(), 10);
  EXPECT_EQ(out.str(),
            "Run 4711: prog on host1 by anna\n"
            "  from 2024-01-02 03:04:05.006 to 2024-01-02 03:04:09.000\n"
            "  processes:          2\n"
            "  memory records:     1,234\n"
            "  peak in use:        5,000 bytes in 12 blocks at record 17 (2024-01-02 03:04:06.000)\n"
            "  alive at the end:   300 bytes in 3 blocks (with free)\n"
            "  no-free at the end: 4,096 bytes\n"
            "\n"
            "Leaks by location\n"
            "  bytes blocks  name\n"
            "    200      2  a.c:10\n"
            "    100      1  b \"q\".c:7\n"
            "\n"
            "Peak by malloc id\n"
            "  bytes malid  name  category\n"
            "  5,000 10017  heap  general\n"
            "\n"
            "Temporary allocations\n"
            "  (none)\n");
}

TEST(TextReport, EmptyRunHasNoPeakRecord) {
  report_data d;
  d.summary.run_id = "1";
  std::ostringstream out;
  write_text(out, d, 10);
  EXPECT_NE(out.str().find("peak in use:        0 bytes in 0 blocks\n"), std::string::npos);
  EXPECT_NE(out.str().find("Run 1: - on - by -"), std::string::npos);
}

// Record numbers start afresh in each header: the peak names its header
// (several headers may share one pid).
TEST(TextReport, RunOfSeveralHeadersNamesThePeaksHeader) {
  report_data d = sample();
  d.summary.headers = 3;
  d.summary.peak_image = 2;
  std::ostringstream out;
  write_text(out, d, 10);
  EXPECT_NE(out.str().find("  memory records:     1,234 in 3 headers\n"
                           "  peak in use:        5,000 bytes in 12 blocks at record 17 of header 2 (pid 99) "
                           "(2024-01-02 03:04:06.000)\n"),
            std::string::npos)
      << out.str();
}

// A run cut short says so under its times, in the JSON too; a list without
// an answer shows its note alone, and the JSON keeps the entries beside it.
TEST(Renderers, CutShortRunsAndNotesOfEmptyAnswers) {
  report_data d = sample();
  d.summary.cut_short = {"header 1 (pid 99): its trace was never closed"};
  d.lists[0].note = "no source locations";
  std::ostringstream text;
  write_text(text, d, 10);
  EXPECT_NE(text.str().find("to 2024-01-02 03:04:09.000\n"
                            "  cut short: header 1 (pid 99): its trace was never closed\n"
                            "  processes:"),
            std::string::npos)
      << text.str();
  EXPECT_NE(text.str().find("Leaks by location\n  (no source locations)\n\nPeak by malloc id"), std::string::npos)
      << text.str();
  std::ostringstream json;
  write_json(json, d, 10);
  EXPECT_NE(json.str().find("  \"cut_short\": true,\n"
                            "  \"cut_short_reasons\": [\n"
                            "    \"header 1 (pid 99): its trace was never closed\"\n"
                            "  ],\n"),
            std::string::npos)
      << json.str();
  EXPECT_NE(json.str().find("    {\"name\": \"b \\\"q\\\".c:7\", \"bytes\": 100, \"blocks\": 1}\n"
                            "  ],\n"
                            "  \"leaks_by_location_note\": \"no source locations\",\n"),
            std::string::npos)
      << json.str();
}

TEST(TextReport, GroupedNumbers) {
  EXPECT_EQ(grouped(0), "0");
  EXPECT_EQ(grouped(999), "999");
  EXPECT_EQ(grouped(1000), "1,000");
  EXPECT_EQ(grouped(-1234567), "-1,234,567");
  EXPECT_EQ(grouped(INT64_MIN), "-9,223,372,036,854,775,808");
}

TEST(HtmlReport, RunTextsCannotBreakOutOfTheDataBlock) {
  report_data d = sample();
  d.summary.program = "</script><script>alert(1)</script><!--";
  d.lists[0].rows[0].texts[0] = "</SCRIPT>";
  std::ostringstream out;
  write_html(out, d, 10);
  const std::string page = out.str();
  const auto data_start = page.find("id=\"kiv-data\">");
  ASSERT_NE(data_start, std::string::npos);
  const auto data_end = page.find("</script>", data_start);
  const std::string block = page.substr(data_start, data_end - data_start);
  EXPECT_EQ(block.find('<'), std::string::npos);
  EXPECT_NE(block.find("\\u003c/script>\\u003cscript>alert(1)"), std::string::npos);
  // The page is whole: the library, the page script and one closing tag.
  EXPECT_NE(page.find("uPlot"), std::string::npos);
  EXPECT_NE(page.find("data-kiv-ready"), std::string::npos);
  EXPECT_EQ(page.find("</html>"), page.size() - 8);
}

}  // namespace
}  // namespace kivdb::report
