// Two report models compared: entries matched by their texts and ranked by
// their change, figures side by side, thresholds read and judged exactly,
// and the terminal and JSON output of a small comparison as a whole.
#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <sstream>

#include "report/diff_compare.h"
#include "report/diff_renderers.h"
#include "report/diff_threshold.h"

namespace kivdb::report {
namespace {

top_list leaks(std::vector<top_row> rows, std::string note = {}) {
  return {"leaks_by_location", "Leaks by location", {"name"}, {"bytes", "blocks"}, std::move(rows), std::move(note)};
}

report_data run(std::string id, std::vector<top_list> lists) {
  report_data d;
  d.summary.run_id = std::move(id);
  d.lists = std::move(lists);
  return d;
}

std::vector<std::string> names(const std::vector<entry_change>& entries) {
  std::vector<std::string> out;
  for (const entry_change& e : entries) out.push_back(e.texts.front());
  return out;
}

// The one list of a comparison of runs with one list each.
list_change only_list(const report_data& base, const report_data& current) {
  diff_data d = compare_runs(base, current);
  EXPECT_EQ(d.lists.size(), 1u);
  return std::move(d.lists.front());
}

// ---- entries ------------------------------------------------------------

TEST(CompareRuns, EntriesMatchByTextsAndRankByTheirChangeColumnByColumn) {
  const report_data base = run("1", {leaks({{{"a.c:1"}, {100, 1}},
                                            {{"a2.c:1"}, {10, 1}},
                                            {{"b.c:2"}, {50, 5}},
                                            {{"c.c:3"}, {10, 1}},
                                            {{"d.c:4"}, {7, 7}},
                                            {{"f.c:6"}, {40, 4}}})});
  const report_data current = run("2", {leaks({{{"b.c:2"}, {80, 4}},
                                               {{"a2.c:1"}, {40, 4}},
                                               {{"a.c:1"}, {100, 1}},
                                               {{"e.c:5"}, {30, 3}},
                                               {{"d.c:4"}, {7, 9}},
                                               {{"f.c:6"}, {1, 4}}})});
  const list_change l = only_list(base, current);
  // a2 and the new e grew by 30 bytes and 3 blocks (by name, a2 first), b
  // by 30 bytes though it lost a block; d grew in its second column only.
  EXPECT_EQ(names(l.grew), (std::vector<std::string>{"a2.c:1", "e.c:5", "b.c:2", "d.c:4"}));
  EXPECT_EQ(names(l.shrank), (std::vector<std::string>{"f.c:6", "c.c:3"}));
  EXPECT_EQ(l.unchanged, 1u);
  EXPECT_EQ(l.added, 1u);
  EXPECT_EQ(l.gone, 1u);
  const entry_change& e = l.grew[1];
  EXPECT_EQ(e.where, entry_change::presence::added);
  EXPECT_EQ(e.base, (std::vector<std::int64_t>{0, 0}));
  EXPECT_EQ(e.current, (std::vector<std::int64_t>{30, 3}));
  const entry_change& c = l.shrank[1];
  EXPECT_EQ(c.where, entry_change::presence::gone);
  EXPECT_EQ(c.change(0), -10);
  EXPECT_EQ(c.change(1), -1);
  EXPECT_EQ(l.grew[2].where, entry_change::presence::both);
  EXPECT_EQ(l.grew[2].change(0), 30);
  EXPECT_EQ(l.grew[2].change(1), -1);
}

// An id names an entry in one run only: it is not compared, and entries
// that differ only in it are unchanged. Every text column is part of the
// match.
TEST(CompareRuns, IdentifierColumnsAreLeftOutAndEveryTextMatches) {
  const auto malids = [](std::vector<top_row> rows) {
    return top_list{"peak_by_malid", "Peak", {"name", "category"}, {"peak_bytes", "malid"}, std::move(rows), {}};
  };
  const report_data base = run("1", {malids({{{"heap", "general"}, {500, 10017}}, {{"pool", "a"}, {9, 3}}})});
  const report_data current = run("2", {malids({{{"heap", "general"}, {500, 20001}}, {{"pool", "b"}, {9, 3}}})});
  const list_change l = only_list(base, current);
  EXPECT_EQ(l.number_columns, (std::vector<std::string>{"peak_bytes"}));
  EXPECT_EQ(l.unchanged, 1u);
  ASSERT_EQ(l.grew.size(), 1u);
  EXPECT_EQ(l.grew[0].texts, (std::vector<std::string>{"pool", "b"}));
  ASSERT_EQ(l.shrank.size(), 1u);
  EXPECT_EQ(l.shrank[0].texts, (std::vector<std::string>{"pool", "a"}));
}

// Entries of the same texts in one list pair up in the order they come.
TEST(CompareRuns, RepeatedTextsPairInOrder) {
  const report_data base = run("1", {leaks({{{"x"}, {10, 1}}, {{"x"}, {20, 2}}})});
  const report_data current = run("2", {leaks({{{"x"}, {15, 1}}, {{"x"}, {20, 2}}, {{"x"}, {1, 1}}})});
  const list_change l = only_list(base, current);
  ASSERT_EQ(l.grew.size(), 2u);
  EXPECT_EQ(l.grew[0].change(0), 5);
  EXPECT_EQ(l.grew[1].where, entry_change::presence::added);
  EXPECT_EQ(l.unchanged, 1u);
}

// Stacks with the same first frame share their name: their stacks tell
// them apart, whatever order the runs list them in.
TEST(CompareRuns, EntriesOfOneNameMatchByTheirStacks) {
  const stack_frame leaf{"leaf", "a.c", 3, "p"};
  const stack_frame main{"main", "m.c", 20, "p"};
  const stack_frame worker{"worker", "w.c", 8, "p"};
  report_data base =
      run("1", {leaks({{{"leaf (a.c:3)"}, {100, 1}, {0, 1}}, {{"leaf (a.c:3)"}, {50, 1}, {0, 2}}})});
  for (const stack_frame& f : {leaf, main, worker}) base.frames.intern(f);
  // The other run numbers its frames otherwise.
  report_data current =
      run("2", {leaks({{{"leaf (a.c:3)"}, {80, 1}, {2, 1}}, {{"leaf (a.c:3)"}, {100, 1}, {2, 0}}})});
  for (const stack_frame& f : {main, worker, leaf}) current.frames.intern(f);
  const list_change l = only_list(base, current);
  EXPECT_EQ(l.unchanged, 1u);
  ASSERT_EQ(l.grew.size(), 1u);
  EXPECT_EQ(l.grew[0].where, entry_change::presence::both);
  EXPECT_EQ(l.grew[0].change(0), 30);
  EXPECT_TRUE(l.shrank.empty());
}

// A list of one run only is compared with nothing: the new run's lists
// come first in their order, then the baseline's others. Notes stay with
// their run.
TEST(CompareRuns, ListsOfOneRunAndNotesAreKept) {
  top_list arcs{"leaks_by_arc", "Leaks by call arc", {"name"}, {"bytes", "blocks"}, {{{"a -> b"}, {4, 1}}}, {}};
  const report_data base = run("1", {leaks({{{"p"}, {1, 1}}}, "no source locations"), arcs});
  const report_data current = run("2", {leaks({{{"p"}, {1, 1}}})});
  const diff_data d = compare_runs(base, current);
  ASSERT_EQ(d.lists.size(), 2u);
  EXPECT_EQ(d.lists[0].key, "leaks_by_location");
  EXPECT_EQ(d.lists[0].base_note, "no source locations");
  EXPECT_EQ(d.lists[0].current_note, "");
  EXPECT_EQ(d.lists[1].key, "leaks_by_arc");
  EXPECT_EQ(d.lists[1].gone, 1u);
  EXPECT_EQ(names(d.lists[1].shrank), (std::vector<std::string>{"a -> b"}));
}

// ---- figures ------------------------------------------------------------

TEST(CompareRuns, FiguresComeSideBySideWithTheirChange) {
  report_data base = run("1", {});
  report_data current = run("2", {});
  base.summary.live_bytes_at_end = 4000;
  current.summary.live_bytes_at_end = 3000;
  current.summary.peak_blocks = 7;
  current.summary.memory_records = std::numeric_limits<std::uint64_t>::max() / 2;
  const diff_data d = compare_runs(base, current);
  ASSERT_EQ(d.figures.size(), summary_figures.size());
  for (std::size_t i = 0; i < d.figures.size(); ++i) EXPECT_EQ(d.figures[i].figure, &summary_figures[i]);
  const figure_change& live = d.figures[5];
  EXPECT_EQ(live.figure->key, "live_bytes_at_end");
  EXPECT_EQ(live.change(), -1000);
  EXPECT_DOUBLE_EQ(*live.percent(), -25.0);
  EXPECT_EQ(d.figures[4].change(), 7);
  EXPECT_FALSE(d.figures[4].percent().has_value());  // from nothing
  EXPECT_EQ(d.figures[2].change(), std::numeric_limits<std::int64_t>::max());
  EXPECT_EQ(difference(std::int64_t{-5}, std::int64_t{7}), 12);
}

// ---- thresholds -----------------------------------------------------------

figure_change change_of(std::string_view key, std::uint64_t base, std::uint64_t current) {
  return {find_figure(key), base, current};
}

struct judged {
  const char* word;
  std::uint64_t base;
  std::uint64_t current;
  bool passes;
};

TEST(Threshold, EveryFormPassesOnlyBeyondItsAmount) {
  const judged cases[] = {
      {"live_bytes_at_end:+0", 100, 101, true},
      {"live_bytes_at_end:+0", 100, 100, false},
      {"live_bytes_at_end:+4096", 0, 4096, false},  // more than, not as much as
      {"live_bytes_at_end:+4096", 0, 4097, true},
      {"peak_bytes:+1.5KiB", 1000, 2536, false},
      {"peak_bytes:+1.5KiB", 1000, 2537, true},
      {"peak_bytes:+1MiB", 0, 1048577, true},
      {"peak_bytes:+2MB", 0, 2000000, false},
      {"peak_bytes:+1kB", 0, 1001, true},
      {"peak_bytes:+1GiB", 0, 1073741824, false},
      {"peak_bytes:+1TB", 0, 1000000000001, true},
      {"live_bytes_at_end:+5%", 1000, 1050, false},
      {"live_bytes_at_end:+5%", 1000, 1051, true},
      {"live_bytes_at_end:+0.5%", 1000, 1006, true},
      {"live_bytes_at_end:+5%", 0, 1, true},  // any growth from nothing
      {"live_bytes_at_end:+5%", 0, 0, false},
      {"live_bytes_at_end:-5%", 1000, 950, false},
      {"live_bytes_at_end:-5%", 1000, 949, true},
      {"live_bytes_at_end:-5%", 1000, 2000, false},
      {"live_blocks_at_end:-10", 100, 89, true},
      {"live_blocks_at_end:-10", 100, 90, false},
      {"live_blocks_at_end:-0", 100, 100, false},
      {"live_blocks_at_end:-0", 100, 99, true},
      {"memory_records:>=1000", 5000, 1000, true},
      {"memory_records:>=1000", 0, 999, false},
      {"peak_bytes:>=1.5KiB", 0, 1536, true},
      {"peak_bytes:>=1.5KiB", 0, 1535, false},
      {"peak_bytes:+999999999999999999", 0, std::numeric_limits<std::int64_t>::max(), true},
      {"peak_bytes:+999999999999.999999", 0, 999999999999, false},
      {"peak_bytes:+100%", std::numeric_limits<std::uint64_t>::max() / 4, std::numeric_limits<std::uint64_t>::max() / 2 + 2,
       true},
  };
  for (const judged& c : cases) {
    const threshold t = parse_threshold(c.word);
    EXPECT_EQ(passes(t, change_of(t.figure->key, c.base, c.current)), c.passes)
        << c.word << " from " << c.base << " to " << c.current;
  }
}

TEST(Threshold, MalformedWordsAreNamedWithWhatIsWrong) {
  const std::pair<const char*, const char*> cases[] = {
      {"peak_bytes+5%", "a threshold is METRIC:CHANGE (as in live_bytes_at_end:+5%)"},
      {"peak_byte:+5%", "no figure \"peak_byte\" (figures: processes, headers, memory_records, peak_bytes, "
                        "peak_blocks, live_bytes_at_end, live_blocks_at_end, nofree_bytes_at_end)"},
      {"peak_bytes:5%", "the change must start with +, - or >= (as in +5%, -1MiB, >=4096)"},
      {"peak_bytes:", "the change must start with +, - or >= (as in +5%, -1MiB, >=4096)"},
      {"peak_bytes:+", "a number must follow the sign (as in +5%, -1MiB, >=4096)"},
      {"peak_bytes:+%", "a number must follow the sign (as in +5%, -1MiB, >=4096)"},
      {"peak_bytes:+.", "a number must follow the sign (as in +5%, -1MiB, >=4096)"},
      {"peak_bytes:+5x", "unknown unit \"x\" (B, KiB, MiB, GiB, TiB, kB, MB, GB, TB, or % after + or -)"},
      {"peak_bytes:+1.2.3", "unknown unit \".3\" (B, KiB, MiB, GiB, TiB, kB, MB, GB, TB, or % after + or -)"},
      {"peak_bytes:+5%%", "unknown unit \"%%\" (B, KiB, MiB, GiB, TiB, kB, MB, GB, TB, or % after + or -)"},
      {"peak_bytes:+5 MiB", "unknown unit \" MiB\" (B, KiB, MiB, GiB, TiB, kB, MB, GB, TB, or % after + or -)"},
      {"peak_blocks:+1MiB", "peak_blocks counts no bytes; give its change without a unit"},
      {"peak_bytes:>=5%", ">= takes an amount, not a percentage"},
      {"peak_bytes:+1234567890123456789", "the number has too many digits"},
      {"peak_bytes:+1.1234567", "the number has too many digits"},
      {"peak_bytes:+1.0000000", "the number has too many digits"},
      {"peak_bytes:+9999999TiB", "the amount is too large"},
  };
  for (const auto& [word, why] : cases) {
    try {
      parse_threshold(word);
      ADD_FAILURE() << word << " was taken";
    } catch (const threshold_error& e) {
      EXPECT_EQ(e.what(), "bad threshold \"" + std::string(word) + "\": " + why);
    }
  }
}

TEST(Threshold, PassedLineShowsBothValuesAndTheChange) {
  const threshold t = parse_threshold("live_bytes_at_end:+5%");
  EXPECT_EQ(passed_line(t, change_of("live_bytes_at_end", 56000, 63000)),
            "live_bytes_at_end:+5% passed: 56,000 -> 63,000 (+7,000, +12.5%)");
  EXPECT_EQ(passed_line(t, change_of("live_bytes_at_end", 0, 63000)), "live_bytes_at_end:+5% passed: 0 -> 63,000 (+63,000)");
  EXPECT_EQ(percent_text(-0.04), "0.0%");
  EXPECT_EQ(percent_text(-5), "-5.0%");
  EXPECT_EQ(percent_text(std::nullopt), "");
}

// ---- the terminal and the JSON ------------------------------------------

diff_data sample() {
  report_data base = run("4711", {leaks({{{"keep.c:10"}, {300, 3}}, {{"old.c:2"}, {64, 1}}}),
                                  leaks({{{"x"}, {1, 1}}}, "no source locations")});
  report_data current = run("4712", {leaks({{{"added.c:7"}, {1000, 4}}, {{"keep.c:10"}, {300, 3}}}),
                                     leaks({{{"x"}, {1, 1}}}, "no source locations")});
  current.lists[1].key = base.lists[1].key = "temporary_by_location";
  current.lists[1].title = base.lists[1].title = "Temporary allocations";
  base.summary.program = current.summary.program = "prog";
  current.summary.cut_short = {"header 1 (pid 7): its trace was never closed"};
  base.summary.live_bytes_at_end = 364;
  current.summary.live_bytes_at_end = 1300;
  base.summary.peak_bytes = 11580;
  current.summary.peak_bytes = 15676;
  return compare_runs(base, current);
}

TEST(DiffText, WholeSummary) {
  std::ostringstream out;
  write_diff_text(out, sample(), 10);
  EXPECT_EQ(out.str(),
            "Base: run 4711: prog on - by -, - to -\n"
            "New:  run 4712: prog on - by -, - to -\n"
            "  new run cut short: header 1 (pid 7): its trace was never closed\n"
            "\n"
            "                         base     new  change\n"
            "  processes                 0       0       0\n"
            "  headers                   0       0       0\n"
            "  memory_records            0       0       0\n"
            "  peak_bytes           11,580  15,676  +4,096  +35.4%\n"
            "  peak_blocks               0       0       0\n"
            "  live_bytes_at_end       364   1,300    +936  +257.1%\n"
            "  live_blocks_at_end        0       0       0\n"
            "  nofree_bytes_at_end       0       0       0\n"
            "\n"
            "Leaks by location: 1 grew (1 new), 1 shrank (1 gone), 1 unchanged\n"
            "  grew most:\n"
            "    bytes  change  blocks  change  name\n"
            "    1,000  +1,000       4      +4  added.c:7 (new)\n"
            "  shrank most:\n"
            "    bytes  change  blocks  change  name\n"
            "        0     -64       0      -1  old.c:2 (gone)\n"
            "\n"
            "Temporary allocations\n"
            "  (no source locations)\n");
}

TEST(DiffText, TopLimitsEachRankingAndSaysSo) {
  std::vector<top_row> rows;
  for (int i = 0; i < 5; ++i) rows.push_back({{"f" + std::to_string(i)}, {i + 1, 1}});
  const diff_data d = compare_runs(run("1", {leaks({})}), run("2", {leaks(rows)}));
  std::ostringstream out;
  write_diff_text(out, d, 2);
  EXPECT_NE(out.str().find("  grew most (top 2 of 5):\n"
                           "    bytes  change  blocks  change  name\n"
                           "        5      +5       1      +1  f4 (new)\n"
                           "        4      +4       1      +1  f3 (new)\n"),
            std::string::npos)
      << out.str();
  std::ostringstream same;
  write_diff_text(same, compare_runs(run("1", {leaks(rows)}), run("2", {leaks(rows)})), 2);
  EXPECT_NE(same.str().find("Leaks by location: no change (5 entries)\n"), std::string::npos) << same.str();
}

TEST(DiffJson, WholeDocumentWithThresholds) {
  const diff_data d = sample();
  const threshold t = parse_threshold("peak_bytes:+4KiB");
  std::ostringstream out;
  write_diff_json(out, d, 10, {{t, d.figures[3], passes(t, d.figures[3])}});
  EXPECT_EQ(out.str(),
            "{\n"
            "  \"base\": {\"run_id\": \"4711\", \"program\": \"prog\", \"host\": \"\", \"user\": \"\", "
            "\"start_time\": \"\", \"end_time\": \"\", \"cut_short\": false, \"cut_short_reasons\": []},\n"
            "  \"new\": {\"run_id\": \"4712\", \"program\": \"prog\", \"host\": \"\", \"user\": \"\", "
            "\"start_time\": \"\", \"end_time\": \"\", \"cut_short\": true, \"cut_short_reasons\": "
            "[\"header 1 (pid 7): its trace was never closed\"]},\n"
            "  \"figures\": {\n"
            "    \"processes\": {\"base\": 0, \"new\": 0, \"change\": 0, \"percent\": null},\n"
            "    \"headers\": {\"base\": 0, \"new\": 0, \"change\": 0, \"percent\": null},\n"
            "    \"memory_records\": {\"base\": 0, \"new\": 0, \"change\": 0, \"percent\": null},\n"
            "    \"peak_bytes\": {\"base\": 11580, \"new\": 15676, \"change\": 4096, \"percent\": 35.37},\n"
            "    \"peak_blocks\": {\"base\": 0, \"new\": 0, \"change\": 0, \"percent\": null},\n"
            "    \"live_bytes_at_end\": {\"base\": 364, \"new\": 1300, \"change\": 936, \"percent\": 257.14},\n"
            "    \"live_blocks_at_end\": {\"base\": 0, \"new\": 0, \"change\": 0, \"percent\": null},\n"
            "    \"nofree_bytes_at_end\": {\"base\": 0, \"new\": 0, \"change\": 0, \"percent\": null}\n"
            "  },\n"
            "  \"lists\": {\n"
            "    \"leaks_by_location\": {\n"
            "      \"title\": \"Leaks by location\",\n"
            "      \"grew\": 1, \"shrank\": 1, \"new_entries\": 1, \"gone_entries\": 1, \"unchanged\": 1,\n"
            "      \"base_note\": \"\", \"new_note\": \"\",\n"
            "      \"grew_most\": [\n"
            "        {\"name\": \"added.c:7\", \"presence\": \"new\", \"bytes\": {\"base\": 0, \"new\": 1000, "
            "\"change\": 1000}, \"blocks\": {\"base\": 0, \"new\": 4, \"change\": 4}}\n"
            "      ],\n"
            "      \"shrank_most\": [\n"
            "        {\"name\": \"old.c:2\", \"presence\": \"gone\", \"bytes\": {\"base\": 64, \"new\": 0, "
            "\"change\": -64}, \"blocks\": {\"base\": 1, \"new\": 0, \"change\": -1}}\n"
            "      ]\n"
            "    },\n"
            "    \"temporary_by_location\": {\n"
            "      \"title\": \"Temporary allocations\",\n"
            "      \"grew\": 0, \"shrank\": 0, \"new_entries\": 0, \"gone_entries\": 0, \"unchanged\": 1,\n"
            "      \"base_note\": \"no source locations\", \"new_note\": \"no source locations\",\n"
            "      \"grew_most\": [],\n"
            "      \"shrank_most\": []\n"
            "    }\n"
            "  },\n"
            "  \"thresholds\": [\n"
            "    {\"threshold\": \"peak_bytes:+4KiB\", \"metric\": \"peak_bytes\", \"passed\": false, \"base\": 11580, "
            "\"new\": 15676, \"change\": 4096}\n"
            "  ],\n"
            "  \"thresholds_passed\": 0\n"
            "}\n");
}

}  // namespace
}  // namespace kivdb::report
