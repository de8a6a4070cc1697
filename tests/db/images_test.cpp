// Several trace headers under one pid (a program that executes another goes
// on under its pid in a new header) are converted into one run, whose keys
// start afresh in each header. Each header converted alone (kiv -H) gives
// exactly the rows the load labels with that header's image, in every
// table with an image column: kivgen headers sharing keys, and kivrec
// recordings of programs that execute another, through /usr/bin/env and
// themselves twice. The views and the report of those recordings show each
// image's leaks as the programs made them.

#include <map>
#include <regex>
#include <set>

#include "db/image_plan.h"
#include "db/image_splitter.h"
#include "db/run_files.h"
#include "db/script_manifest.h"
#include "kivdb_fixture.h"
#include "report/directory_rows.h"
#include "report/renderers.h"
#include "report/report_builder.h"

namespace {

using namespace kivdbtest;
namespace fs = std::filesystem;

// Columns that hold within one header; kiv numbers markers, and counts the
// records of malloc ids and processes, over the whole conversion (and
// writes its "Record nr" markers by that count: they are left out).
std::vector<std::string> compared_columns(const kivdb::table_def& t) {
  static const std::map<std::string, std::vector<std::string>> chosen = {
      {"marker", {"pid", "rec", "time", "grp", "kind", "text"}},
      {"process", {"pid", "process_id", "session", "malid", "xml_malid", "parent", "start_time", "end_time"}},
      {"malid", {"pid", "malid", "location", "name", "category", "detail", "detail2", "default_size", "start_time",
                 "end_time"}}};
  if (const auto it = chosen.find(t.name); it != chosen.end()) return it->second;
  std::vector<std::string> all;
  for (const kivdb::column* c : t.stored()) all.push_back(c->name);
  return all;
}

using rows = std::vector<std::vector<std::string>>;

rows rows_of_image(kivdb::database& db, const kivdb::table_def& t, const std::string& runid, std::size_t image) {
  std::string names;
  for (const std::string& c : compared_columns(t)) names += (names.empty() ? "" : ", ") + kivdb::quote_name(c);
  const std::string own_count = t.name == "marker" ? " AND kind <> 'recs'" : "";
  rows out;
  for (const auto& row : db.query("SELECT " + names + " FROM " + t.name + " WHERE run_id = '" + runid +
                                  "' AND image = " + std::to_string(image) + own_count + " ORDER BY row_nr")
                             .rows) {
    std::vector<std::string> texts;
    for (const auto& v : row) texts.push_back(v.value_or("<null>"));
    out.push_back(std::move(texts));
  }
  return out;
}

// The rows of a header converted alone, as the database holds their values.
rows rows_alone(const fs::path& dir, const kivdb::table_def& t, const std::string& runid) {
  const kivdb::script_manifest m = kivdb::read_manifest(dir / ("kiv." + runid + ".sql"));
  std::vector<std::size_t> at;
  for (const std::string& c : compared_columns(t)) at.push_back(kivdb::stored_index(t, c));
  const auto stored = t.stored();
  rows out;
  const bool marker = t.name == "marker";
  kivdb::read_table_rows(m, t.name, ';', ';', [&](std::span<kivdb::field> r) {
    if (marker && r[kivdb::stored_index(t, "kind")].text == "recs") return;
    std::vector<std::string> texts;
    for (std::size_t i : at)
      texts.push_back(stored[i]->type == kivdb::col_type::text ? std::string(r[i].text) : std::to_string(r[i].number));
    out.push_back(std::move(texts));
  });
  return out;
}

class Images : public kivdb_fixture {
 protected:
  // Converts the run with kiv -R and then each header alone with kiv -H
  // into a directory of its own; returns those in kiv -R's order.
  std::vector<fs::path> convert(const std::string& runid, const std::vector<std::string>& kiv_args = {}) {
    std::vector<std::string> args = {"-R", runid};
    args.insert(args.end(), kiv_args.begin(), kiv_args.end());
    const auto all = run(KIV_BINARY, args, scratch_.path().string());
    EXPECT_EQ(all.status, 0) << all.err;
    std::vector<fs::path> alone;
    const std::regex processing("Processing: (\\S+)");
    for (std::sregex_iterator it(all.out.begin(), all.out.end(), processing), end; it != end; ++it) {
      const auto one = run(KIV_BINARY, {"-H", runid + "/" + (*it)[1].str()}, scratch_.path().string());
      EXPECT_EQ(one.status, 0) << one.err;
      const fs::path dir = scratch_.path() / (runid + "-alone-" + std::to_string(alone.size() + 1));
      fs::create_directories(dir);
      for (const auto& e : fs::directory_iterator(scratch_.path()))
        if (e.path().filename().string().starts_with("kiv." + runid + "."))
          fs::rename(e.path(), dir / e.path().filename());
      alone.push_back(dir);
    }
    return alone;
  }

  // Loads the run and expects each image's rows to be its header's alone.
  void expect_images_are_headers(const std::string& runid, const std::vector<fs::path>& alone) {
    const std::string db_file = (scratch_.path() / (runid + ".db")).string();
    load(scratch_.path() / runid, {"--db", db_file});
    auto db = kivdb::open_sqlite(db_file);
    const auto images = db->query("SELECT COUNT(*) FROM runs WHERE run_id = '" + runid + "'");
    EXPECT_EQ(images.rows.at(0).at(0), std::to_string(alone.size()));
    for (const kivdb::table_def& t : kivdb::kiv_tables()) {
      if (!t.per_image) continue;
      std::size_t labelled = 0;
      for (std::size_t image = 1; image <= alone.size(); ++image) {
        const rows expected = rows_alone(alone[image - 1], t, runid);
        EXPECT_EQ(rows_of_image(*db, t, runid, image), expected) << t.name << " of image " << image;
        labelled += expected.size();
      }
      const auto total = db->query("SELECT COUNT(*) FROM " + t.name + " WHERE run_id = '" + runid + "'" +
                                   (t.name == "marker" ? " AND kind <> 'recs'" : ""));
      EXPECT_EQ(total.rows.at(0).at(0), std::to_string(labelled)) << t.name;
    }
  }
};

// kivgen's headers use the same location keys, malloc ids, process ids and
// arcs; one header holds no frees at all, and the memory table is split
// over several files.
TEST_F(Images, KivgenHeadersOfOnePidAreTheirImages) {
  const std::string dir = scratch_.path().string();
  const std::vector<std::vector<std::string>> headers = {
      {"--seed", "21", "--records", "5000", "--session-records", "900"},
      {"--seed", "22", "--records", "3000", "--base", "kiv-1", "--leaky"},
      {"--seed", "23", "--records", "4000", "--base", "kiv-2", "--processes", "2"}};
  for (const auto& h : headers) {
    std::vector<std::string> args = {"--dir", dir, "--runid", "g"};
    args.insert(args.end(), h.begin(), h.end());
    ASSERT_EQ(run(KIVGEN_BINARY, args).status, 0);
  }
  const auto alone = convert("g", {"-M", "300K"});
  ASSERT_EQ(alone.size(), headers.size());
  expect_images_are_headers("g", alone);
}

// A program that leaks, per image, 2n + 1 blocks of 100n bytes in a
// function of its own, frees everything else, and executes itself until
// the image named by its second argument.
constexpr const char* exec_program = R"(#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>
__attribute__((noinline)) void* leak_a(size_t n) { return malloc(n); }
__attribute__((noinline)) void* leak_b(size_t n) { return malloc(n); }
__attribute__((noinline)) void* leak_c(size_t n) { return malloc(n); }
int main(int argc, char** argv) {
  const int image = argc > 1 ? atoi(argv[1]) : 1;
  const int last = argc > 2 ? atoi(argv[2]) : 1;
  for (int i = 0; i < 40 * image; ++i) { char* p = malloc(24 + i); memset(p, 0, 8); free(p); }
  void* (*leak)(size_t) = image == 1 ? leak_a : image == 2 ? leak_b : leak_c;
  for (int i = 0; i < 2 * image + 1; ++i) memset(leak(100 * image), 1, 4);
  char* r = malloc(16);
  r = realloc(r, 20);
  free(r);
  if (image < last) {
    char next[16], end[16];
    snprintf(next, sizeof next, "%d", image + 1);
    snprintf(end, sizeof end, "%d", last);
    execl("/proc/self/exe", argv[0], next, end, (char*)0);
  }
  return 0;
}
)";

class RecordedImages : public Images {
 protected:
  void SetUp() override {
    kivtest::write_file(scratch_.path() / "prog.c", exec_program);
    const auto cc = run("/usr/bin/gcc", {"-O0", "-g", "-o", (scratch_.path() / "prog").string(), (scratch_.path() / "prog.c").string()});
    ASSERT_EQ(cc.status, 0) << cc.err;
  }

  // Records the command with kivrec into run `runid`.
  void record(const std::string& runid, const std::vector<std::string>& command) {
    std::vector<std::string> args = {"--dir", scratch_.path().string(), "--runid", runid, "--quiet", "--"};
    args.insert(args.end(), command.begin(), command.end());
    const auto r = run(KIVREC_BINARY, args, scratch_.path().string());
    ASSERT_EQ(r.status, 0) << r.err;
  }

  // The report's leaks of each leak function, and its figures against the
  // views.
  void expect_leaks(const std::string& runid, const std::map<std::string, std::vector<std::int64_t>>& expected,
                    std::uint64_t headers) {
    auto db = kivdb::open_sqlite((scratch_.path() / (runid + ".db")).string());
    const auto r = kivdb::report::build_report(*db, runid);
    EXPECT_EQ(r.summary.headers, headers);
    EXPECT_TRUE(r.summary.cut_short.empty());
    std::map<std::string, std::vector<std::int64_t>> leaks;
    const std::regex leak_site("prog:(leak_[abc])\\+0x[0-9a-f]+");
    for (const auto& row : r.lists[0].rows) {
      std::smatch m;
      if (std::regex_match(row.texts[0], m, leak_site)) leaks[m[1].str()] = {row.numbers[1], row.numbers[0]};
    }
    EXPECT_EQ(leaks, expected);
    const auto live = db->query("SELECT COUNT(*), SUM(size) FROM live_blocks WHERE run_id = '" + runid + "'");
    EXPECT_EQ(live.rows.at(0).at(0), std::to_string(r.summary.live_blocks_at_end));
    const auto by_image = db->query("SELECT image, COUNT(*) FROM live_blocks WHERE run_id = '" + runid +
                                    "' AND source LIKE 'prog:leak_%' GROUP BY image ORDER BY image");
    EXPECT_EQ(by_image.rows.size(), expected.size());
    // The report of the directory, from its table files, is the same.
    std::ostringstream from_db, from_files;
    kivdb::report::write_json(from_db, r, every_entry);
    kivdb::report::write_json(from_files, kivdb::report::build_report(*kivdb::report::directory_rows(scratch_.path() / runid)),
                              every_entry);
    EXPECT_EQ(from_files.str(), from_db.str());
  }
  static constexpr std::size_t every_entry = 1000000;
};

TEST_F(RecordedImages, ExecThroughAWrapperKeepsEachImagesBlocks) {
  record("w", {"/usr/bin/env", "A=1", "./prog", "1", "1"});
  const auto alone = convert("w");
  ASSERT_EQ(alone.size(), 2u);  // env, then the program
  expect_images_are_headers("w", alone);
  expect_leaks("w", {{"leak_a", {3, 300}}}, 2);
}

TEST_F(RecordedImages, ProgramThatExecutesItselfTwice) {
  record("x", {"./prog", "1", "3"});
  const auto alone = convert("x");
  ASSERT_EQ(alone.size(), 3u);
  expect_images_are_headers("x", alone);
  expect_leaks("x", {{"leak_a", {3, 300}}, {"leak_b", {5, 1000}}, {"leak_c", {7, 2100}}}, 3);
}

// The plan of a run's headers from its "runs" and "marker" rows: a header
// whose data could not be read has a runs row only, one whose reading
// stopped has markers only; the findings say what is missing.
TEST(ImagePlan, HeadersFromRunsAndMarkersAndWhatIsMissing) {
  kivdb::image_plan plan;
  const std::string t1 = "2026-01-01 00:00:01.000";
  const std::string t2 = "2026-01-01 00:00:02.000";
  const std::string t3 = "2026-01-01 00:00:03.000";
  const std::string epoch = "1970-01-01 00:00:00.000";
  plan.add_run(7, t1, t2);
  plan.add_run(7, epoch, epoch);  // never closed, nothing read
  plan.add_run(7, t2, epoch);     // read, never closed
  plan.add_marker(7, 0, t1, "Record", "Begin", "Begin of measurement");
  plan.add_marker(7, 0, t1, "Malid", "Reserve", "Reserve Id 12 general heap");
  plan.add_marker(7, 0, t1, "Process", "Start", "Start: main job 41");
  plan.add_marker(7, 3, t1, "Process", "End", "End: main job 41");
  plan.add_marker(7, 3, t1, "Process", "Start", "Start: main job 41");
  plan.add_marker(7, 5, t1, "Record", "End", "End of measurement");
  plan.add_marker(7, 0, t2, "Record", "Begin", "Begin of measurement");
  plan.add_marker(7, 9, t2, "Record", "End", "End of measurement");
  plan.add_marker(8, 0, t3, "Record", "Begin", "Begin of measurement");  // stopped
  plan.finish();
  ASSERT_EQ(plan.images().size(), 4u);
  EXPECT_EQ(plan.read_images(), (std::vector<std::size_t>{1, 3, 4}));
  EXPECT_EQ(plan.dumped_images(), (std::vector<std::size_t>{1, 2, 3}));
  EXPECT_EQ(plan.image(1).reserved_ids, (std::set<std::uint32_t>{12}));
  EXPECT_EQ(plan.image(1).arc_groups.at(41), 2u);  // one at its end, one while it still ran
  EXPECT_EQ(plan.image(4).pid, 8);
  const std::vector<std::optional<std::uint64_t>> last = {5, std::nullopt, 8, 2};
  std::vector<std::string> found;
  for (const auto& f : plan.findings(last)) found.push_back(f.text());
  EXPECT_EQ(found, (std::vector<std::string>{
                       "header 2 (pid 7): kiv read none of its data (its header names no data file that could be read)",
                       "header 2 (pid 7): its trace was never closed (the program was killed?): what it had not "
                       "written yet is lost",
                       "header 3 (pid 7): its memory rows end at record 8, its End marker at record 9: a table file "
                       "is cut",
                       "header 3 (pid 7): its trace was never closed (the program was killed?): what it had not "
                       "written yet is lost",
                       "header 4 (pid 8): it has no End marker: kiv stopped reading it, or the marker table is cut"}));
}

// Two headers of pid 7 whose keys all ascend across the boundary: only what
// the memory rows, the Reserve markers and the process markers of each
// header tell places the rows of the second header in its image.
class SplitterByHand : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::string t = "2026-01-01 00:00:01.000";
    for (int h = 0; h < 2; ++h) {
      plan_.add_run(7, t, t);
      plan_.add_marker(7, 0, t, "Record", "Begin", "");
      plan_.add_marker(7, 0, t, "Malid", "Reserve", h == 0 ? "Reserve Id 3 a" : "Reserve Id 5 b");
      plan_.add_marker(7, 0, t, "Process", "Start", "Start: job 41");
      plan_.add_marker(7, h == 0 ? 10 : 12, t, "Record", "End", "");
    }
    plan_.finish();
    splitter_ = std::make_unique<kivdb::image_splitter>(plan_);
  }

  // The image the splitter gives a row of `table` with these fields.
  std::int64_t image_of(const std::string& table, const std::map<std::string, kivdb::field>& values) {
    const kivdb::table_def& t = *kivdb::find_table(table);
    std::vector<kivdb::field> row(t.row_width());
    for (const auto& [name, value] : values) row[kivdb::stored_index(t, name)] = value;
    splitter_->labeller(t)->label(row);
    return row[t.stored_count()].number;
  }
  std::vector<std::int64_t> memory(int recs, const std::map<std::int64_t, std::pair<std::string, std::int64_t>>& frees,
                                   std::int64_t location) {
    std::vector<std::int64_t> images;
    for (std::int64_t rec = 1; rec <= recs; ++rec) {
      const auto f = frees.find(rec);
      const std::string tag = f == frees.end() ? "a" : f->second.first;
      images.push_back(image_of("memory", {{"pid", {{}, 7}}, {"rec", {{}, rec}}, {"tag", {tag_text(tag), 0}},
                                           {"other_rec", {{}, f == frees.end() ? 0 : f->second.second}},
                                           {"location", {{}, location}}}));
    }
    return images;
  }
  // Tag texts outlive the rows that point at them.
  std::string_view tag_text(const std::string& tag) { return *tags_.insert(tag).first; }

  kivdb::image_plan plan_;
  std::unique_ptr<kivdb::image_splitter> splitter_;
  std::set<std::string> tags_;
};

TEST_F(SplitterByHand, RowsFollowTheirHeaderWhereKeysAscendAcrossTheBoundary) {
  EXPECT_EQ(memory(10, {{3, {"f", 1}}}, 100), std::vector<std::int64_t>(10, 1));
  EXPECT_EQ(memory(12, {{5, {"f", 2}}, {7, {"F", 0}}, {11, {"r", 4}}}, 300), std::vector<std::int64_t>(12, 2));
  // freemem: header 2's first free (at 5) comes after header 1's last (at
  // 3) and within header 1's records, yet only header 2 freed block 2 at 5.
  auto freemem = [&](std::int64_t rec, std::int64_t freed_by, const std::string& tag) {
    return image_of("freemem", {{"pid", {{}, 7}}, {"rec", {{}, rec}}, {"freed_by", {{}, freed_by}}, {"tag", {tag_text(tag), 0}}});
  };
  EXPECT_EQ(freemem(1, 3, "f"), 1);
  EXPECT_EQ(freemem(2, 5, "f"), 2);
  EXPECT_EQ(freemem(6, 7, "F"), 2);
  EXPECT_EQ(freemem(4, 11, "r"), 2);
  // malid and hashloc: keys 3 < 5 and 100 < 300 ascend; the Reserve
  // markers and the memory rows' locations tell the headers apart.
  auto malid = [&](std::int64_t id, std::int64_t location) {
    return image_of("malid", {{"pid", {{}, 7}}, {"malid", {{}, id}}, {"location", {{}, location}}});
  };
  EXPECT_EQ(malid(3, 0), 1);
  EXPECT_EQ(malid(5, 0), 2);
  auto hashloc = [&](std::int64_t location) {
    return image_of("hashloc", {{"pid", {{}, 7}}, {"location", {{}, location}}});
  };
  EXPECT_EQ(hashloc(100), 1);
  EXPECT_EQ(hashloc(200), 1);  // described, used by no row: stays with the rows before it
  EXPECT_EQ(hashloc(300), 2);
  // arcs: each header's process 41 writes one group, from arc 0 up.
  auto arc = [&](std::int64_t number) {
    return image_of("arcs", {{"pid", {{}, 7}}, {"process_id", {{}, 41}}, {"arc", {{}, number}}});
  };
  EXPECT_EQ((std::vector<std::int64_t>{arc(0), arc(1), arc(2), arc(0), arc(1)}),
            (std::vector<std::int64_t>{1, 1, 1, 2, 2}));
  EXPECT_EQ(splitter_->last_memory_recs(), (std::vector<std::optional<std::uint64_t>>{10, 12}));
}

}  // namespace
