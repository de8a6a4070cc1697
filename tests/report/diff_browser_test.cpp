// The comparison's page in headless chromium, on models built here: runs
// of different lengths share the chart's record axis with both lines
// painted, long rankings wait behind "show all", a run without records
// paints no line, and none of it raises a message or an error.
#include <gtest/gtest.h>

#include <fstream>

#include "browser_page.h"
#include "report/diff_compare.h"
#include "report/diff_renderers.h"
#include "report/series_reducer.h"

namespace kivdb::report {
namespace {

constexpr std::size_t top = 10;

// A memory series rising by `slope` bytes a record over `records` records,
// its no-free line by half as much.
series_table rising(std::uint64_t records, std::int64_t slope) {
  series_reducer reducer({"with free", "no free"}, 1, records, 1000);
  for (std::uint64_t x = 1; x <= records; ++x) {
    const std::int64_t values[] = {slope * static_cast<std::int64_t>(x), slope * static_cast<std::int64_t>(x) / 2};
    reducer.add(x, "2026-01-01 00:00:0" + std::to_string(x * 9 / records) + ".000", values);
  }
  return reducer.finish();
}

report_data run(std::string id, std::uint64_t records, std::int64_t slope, int leaks) {
  report_data d;
  d.summary.run_id = std::move(id);
  d.summary.memory_records = records;
  d.memory = {"Memory in use", rising(records, slope)};
  top_list list{"leaks_by_location", "Leaks by location", {"name"}, {"bytes", "blocks"}, {}, {}};
  for (int i = 0; i < leaks; ++i) list.rows.push_back({{"leak" + std::to_string(i) + ".c:1"}, {100 + i, 1}});
  d.lists = {list};
  return d;
}

class DiffPage : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!kivtest::browser_installed()) GTEST_SKIP() << "chromium is not installed";
  }
  kivtest::browser_page open(const diff_data& d) {
    const std::string page = dir_ / "diff.html";
    {
      std::ofstream out(page);
      write_diff_html(out, d, top);
    }
    return kivtest::open_in_browser(dir_, page);
  }
  kivtest::scratch_dir dir_{"kiv_diff_page"};
};

void expect_ready(const kivtest::browser_page& page, const std::string& charts) {
  EXPECT_EQ(kivtest::console_lines(page.log), "");
  EXPECT_EQ(kivtest::body_attribute(page.dom, "data-kiv-ready"), "yes");
  EXPECT_EQ(kivtest::body_attribute(page.dom, "data-kiv-errors"), "0");
  EXPECT_EQ(kivtest::body_attribute(page.dom, "data-kiv-charts"), charts);
  EXPECT_EQ(kivtest::body_attribute(page.dom, "data-kiv-drawn"), charts);
}

TEST_F(DiffPage, RunsOfDifferentLengthsShareOneChart) {
  const auto page = open(compare_runs(run("4711", 30000, 3, 5), run("4712", 45000, 4, 25)));
  expect_ready(page, "1");
  const std::string lines = "base 4711: with free | base 4711: no free | new 4712: with free | new 4712: no free";
  EXPECT_EQ(kivtest::body_attribute(page.dom, "data-kiv-lines"), lines);
  EXPECT_EQ(kivtest::body_attribute(page.dom, "data-kiv-painted"), lines);
  // Twenty new entries grew: ten shown until "show all 20".
  EXPECT_NE(page.dom.find("data-counts=\"leaks_by_location\">20 grew (20 new), 0 shrank, 5 unchanged.</p>"),
            std::string::npos);
  EXPECT_NE(page.dom.find("show all 20"), std::string::npos);
  EXPECT_NE(page.dom.find("<h1>Run 4712 against run 4711</h1>"), std::string::npos);
}

// A run without records has its lines named but not painted; with no
// records in either run there is no chart.
TEST_F(DiffPage, RunsWithoutRecordsAreDrawnAsNothing) {
  report_data empty;
  empty.summary.run_id = "1";
  empty.memory.series.names = {"with free", "no free"};
  empty.memory.series.values.resize(2);
  const auto one = open(compare_runs(empty, run("4712", 1000, 4, 1)));
  expect_ready(one, "1");
  EXPECT_EQ(kivtest::body_attribute(one.dom, "data-kiv-lines"),
            "base 1: with free | base 1: no free | new 4712: with free | new 4712: no free");
  EXPECT_EQ(kivtest::body_attribute(one.dom, "data-kiv-painted"), "new 4712: with free | new 4712: no free");
  const auto none = open(compare_runs(empty, empty));
  expect_ready(none, "0");
  EXPECT_NE(none.dom.find("No memory records."), std::string::npos);
}

}  // namespace
}  // namespace kivdb::report
