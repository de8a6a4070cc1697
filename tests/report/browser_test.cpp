// Opens a report page in a real browser (headless chromium): the page must
// load without console messages or script errors and draw every chart; a
// screenshot is taken. Skipped only where chromium is not installed.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "browser_page.h"
#include "report/renderers.h"
#include "report/series_reducer.h"

namespace kivdb::report {
namespace {

constexpr std::uintmax_t min_screenshot_bytes = 10000;

series_table wave(std::vector<std::string> names, std::uint64_t records, std::int64_t scale) {
  series_reducer reducer(names, 1, records, 1000);
  std::vector<std::int64_t> row(names.size());
  for (std::uint64_t x = 1; x <= records; ++x) {
    for (std::size_t c = 0; c < row.size(); ++c)
      row[c] = scale * static_cast<std::int64_t>((x * (c + 3)) % 5000 + x / 10);
    reducer.add(x, "2024-05-06 07:" + std::to_string(10 + x * 40 / records) + ":00.000", row);
  }
  return reducer.finish();
}

// Every part of the page filled: several processes, markers, long lists.
report_data full_report() {
  report_data d;
  d.summary = {.run_id = "4711", .program = "demo <prog>", .host = "host", .user = "anna",
               .start_time = "2024-05-06 07:10:00.000", .end_time = "2024-05-06 07:50:00.000",
               .processes = 3, .memory_records = 30000, .headers = 2, .peak_bytes = 123456,
               .peak_blocks = 789, .peak_record = 1000, .peak_time = "2024-05-06 07:11:00.000",
               .peak_pid = 4242, .peak_image = 2, .live_bytes_at_end = 4000, .live_blocks_at_end = 40,
               .nofree_bytes_at_end = 8192, .cut_short = {}};
  const std::uint64_t records = 30000;
  d.memory = {"Memory in use (headers added up)", wave({"with free", "no free"}, records, 16)};
  d.markers = {{chart_marker::kind::process_start, 10, "", "Start: s1 7"},
               {chart_marker::kind::user, 14000, "", "checkpoint </script>"},
               {chart_marker::kind::process_end, 25000, "", "End: s1 7"}};
  d.top_malids = {"Top malloc ids", wave({"heap", "strings", "cache"}, records, 4)};
  for (int p = 1; p <= 3; ++p)
    d.processes.push_back({"Process " + std::to_string(p), wave({"with free"}, records, p)});
  d.sizes.counts = {1, 0, 5, 30, 200, 1000, 50, 3};
  d.sizes.bytes = {1, 0, 20, 200, 3000, 30000, 3000, 300};
  top_list leaks{"leaks_by_location", "Leaks by location", {"name"}, {"bytes", "blocks"}, {}, {}};
  for (int i = 0; i < 30; ++i) leaks.rows.push_back({{"file" + std::to_string(i) + ".c:1"}, {1000 - i, i}});
  d.lists = {leaks};
  return d;
}

report_data empty_report() {
  report_data d;
  d.summary.run_id = "1";
  d.memory.series.names = {"with free", "no free"};
  d.memory.series.values.resize(2);
  return d;
}

using kivtest::body_attribute;
using kivtest::console_lines;
using page_result = kivtest::browser_page;

page_result open_page(const kivtest::scratch_dir& dir, const report_data& data,
                      const std::string& screenshot = {}) {
  const std::string page = dir / "report.html";
  {
    std::ofstream out(page);
    write_html(out, data, 10);
  }
  return kivtest::open_in_browser(dir, page, screenshot);
}

class BrowserTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!kivtest::browser_installed()) GTEST_SKIP() << "chromium is not installed";
  }
  kivtest::scratch_dir dir_{"kiv_browser"};
};

// The page ran to its end without a message or error and painted `charts`
// charts.
void expect_drawn(const page_result& page, const std::string& charts) {
  EXPECT_EQ(console_lines(page.log), "");
  EXPECT_EQ(body_attribute(page.dom, "data-kiv-ready"), "yes");
  EXPECT_EQ(body_attribute(page.dom, "data-kiv-errors"), "0");
  EXPECT_EQ(body_attribute(page.dom, "data-kiv-charts"), charts);
  EXPECT_EQ(body_attribute(page.dom, "data-kiv-drawn"), charts);
}

TEST_F(BrowserTest, FullReportDrawsEveryChartWithoutErrors) {
  const auto page = open_page(dir_, full_report());
  // memory, top malloc ids, three processes, the size histogram
  expect_drawn(page, "6");
  // The table shows the top 10 rows until "show all 30" is pressed.
  EXPECT_NE(page.dom.find("show all 30"), std::string::npos);
  EXPECT_NE(page.dom.find(">file9.c:1</td>"), std::string::npos);
  EXPECT_EQ(page.dom.find(">file10.c:1</td>"), std::string::npos);
  // A run of several headers: the peak names its header, the chart says
  // how the headers are drawn.
  EXPECT_NE(page.dom.find("record 1,000 of header 2 (pid 4242) at"), std::string::npos);
  EXPECT_NE(page.dom.find("Memory in use (headers added up)"), std::string::npos);
}

TEST_F(BrowserTest, EmptyRunGivesAPageWithoutCharts) {
  const auto page = open_page(dir_, empty_report());
  expect_drawn(page, "0");
  EXPECT_NE(page.dom.find("No memory records."), std::string::npos);
  EXPECT_NE(page.dom.find("No allocations."), std::string::npos);
}

// A run cut short says so above its figures; a list without an answer
// shows its note instead of a table.
TEST_F(BrowserTest, CutShortRunAndEmptyAnswersAreSaid) {
  report_data d = full_report();
  d.summary.cut_short = {"header 2 (pid 4242): its trace was never closed"};
  top_list arcs{"leaks_by_arc", "Leaks by call arc", {"name"}, {"bytes", "blocks"}, {}, "no call-arc data"};
  arcs.rows.push_back({{"root -> root"}, {4000, 40}});
  d.lists.push_back(arcs);
  const auto page = open_page(dir_, d);
  expect_drawn(page, "6");
  EXPECT_NE(page.dom.find("id=\"cut-short\""), std::string::npos);
  EXPECT_NE(page.dom.find("<div>header 2 (pid 4242): its trace was never closed</div>"), std::string::npos);
  EXPECT_NE(page.dom.find("data-note=\"leaks_by_arc\">no call-arc data</p>"), std::string::npos) << page.dom;
  EXPECT_EQ(page.dom.find("root -&gt; root"), std::string::npos);
  EXPECT_EQ(page.dom.find("data-list=\"leaks_by_arc\""), std::string::npos);
}

TEST_F(BrowserTest, OneRecordRunDrawsItsSinglePoint) {
  report_data d = empty_report();
  d.summary.memory_records = 1;
  d.memory.series = {{"with free", "no free"}, {1}, {"2024-05-06 07:10:00.000"}, {{123}, {0}}};
  d.sizes = {{0, 0, 0, 0, 0, 0, 0, 1}, {0, 0, 0, 0, 0, 0, 0, 123}};
  expect_drawn(open_page(dir_, d), "2");
}

TEST_F(BrowserTest, ScreenshotIsTaken) {
  const std::string shot = dir_ / "report.png";
  open_page(dir_, full_report(), shot);
  ASSERT_TRUE(std::filesystem::exists(shot));
  EXPECT_GT(std::filesystem::file_size(shot), min_screenshot_bytes);
  if (const char* keep = std::getenv("KIV_KEEP_SCREENSHOT")) std::filesystem::copy_file(
      shot, keep, std::filesystem::copy_options::overwrite_existing);
}

}  // namespace
}  // namespace kivdb::report
