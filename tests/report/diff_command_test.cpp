// kivdb diff on two runs written here with known differences: the new run
// leaks four more blocks at one location after the peak, and its peak
// block is 4096 bytes larger. Both are converted by kiv and compared from
// one database, from two, from their directories and from PostgreSQL; the
// thresholds, the errors and the page are checked on them.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <vector>

#include "browser_page.h"
#include "support/pg_cluster.h"
#include "support/run_program.h"
#include "support/scratch_dir.h"
#include "writer/trace_session.h"

namespace {

namespace fs = std::filesystem;

constexpr std::uint32_t heap_id = 10;
constexpr std::uint32_t kept_blocks = 3;
constexpr std::uint32_t kept_size = 100;
constexpr std::uint32_t work_blocks = 20;
constexpr std::uint32_t work_size = 64;
constexpr std::uint32_t peak_block = 10000;
constexpr std::uint32_t peak_raise = 4096;
constexpr std::uint32_t added_blocks = 4;
constexpr std::uint32_t added_size = 250;
constexpr std::uint32_t header_bytes = 16;

const std::string base_run = "4711";
const std::string new_run = "4712";

// Blocks kept to the end, work blocks alive around a temporary peak
// block, and, in the changed run, a larger peak block and blocks added
// at one location after the peak.
class workload {
 public:
  workload(const std::string& dir, const std::string& runid) : s_(kivw::deterministic_options(dir, runid)) {
    s_.process_start(7, 1234, "main");
    s_.schedule(0, 7);
    s_.reserve_id(heap_id, 64, 0x4000, "ids.c:1", 1, "general heap");
  }

  void write(bool changed) {
    for (std::uint32_t i = 0; i < kept_blocks; ++i) alloc(kept_size, 0x5001, "keep.c:10");
    std::vector<std::uint64_t> work;
    for (std::uint32_t i = 0; i < work_blocks; ++i) work.push_back(alloc(work_size, 0x5002, "work.c:20"));
    s_.free(heap_id, 0, alloc(peak_block + (changed ? peak_raise : 0), 0x5003, "peak.c:5"), 0x5003, "peak.c:5");
    for (std::uint64_t addr : work) s_.free(heap_id, 0, addr, 0x5004, "work.c:30");
    if (changed)
      for (std::uint32_t i = 0; i < added_blocks; ++i) alloc(added_size, 0x5005, "added.c:7");
    s_.process_end(7);
    s_.close();
  }

 private:
  std::uint64_t alloc(std::uint32_t size, std::uint64_t location, const char* text) {
    const std::uint64_t addr = next_;
    next_ += 0x1000;
    s_.malloc_wf(heap_id, 0, addr, size, size + header_bytes, location, text);
    return addr;
  }

  kivw::trace_session s_;
  std::uint64_t next_ = 0x100000;
};

kivtest::program_result run(const std::string& program, std::vector<std::string> args, const fs::path& cwd = {}) {
  return kivtest::run_program(program, {std::move(args), cwd.string(), {}});
}

kivtest::program_result diff(std::vector<std::string> args) {
  args.insert(args.begin(), "diff");
  return run(KIVDB_BINARY, std::move(args));
}

class DiffCommand : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = new kivtest::scratch_dir("kiv_diff");
    workload(dir_->path().string(), base_run).write(false);
    workload(dir_->path().string(), new_run).write(true);
    for (const std::string& runid : {base_run, new_run}) {
      ASSERT_EQ(run(KIV_BINARY, {"-R", runid}, dir_->path()).status, 0);
      ASSERT_EQ(run(KIVDB_BINARY, {"load", runid, "--db", "runs.db"}, dir_->path()).status, 0);
      ASSERT_EQ(run(KIVDB_BINARY, {"load", runid}, dir_->path()).status, 0);
    }
  }
  static void TearDownTestSuite() {
    delete dir_;
    dir_ = nullptr;
  }

  static std::string path(const std::string& name) { return *dir_ / name; }
  static std::string run_dir(const std::string& runid) { return path(runid); }
  static std::string own_db(const std::string& runid) { return path(runid + "/kiv." + runid + ".db"); }
  // Both runs from the one database, the baseline first.
  static std::vector<std::string> both(std::vector<std::string> more = {}) {
    std::vector<std::string> args{"--db", path("runs.db"), "--run", base_run, "--run", new_run};
    args.insert(args.end(), more.begin(), more.end());
    return args;
  }

  static kivtest::scratch_dir* dir_;
};

kivtest::scratch_dir* DiffCommand::dir_ = nullptr;

// What the designed differences make of the comparison. Peak: the kept,
// work and peak blocks (11,580 bytes in 24 blocks), 4,096 bytes more in
// the new run, which is the heap's malloc id's peak too. At the end: the
// kept blocks, and the four added ones of 250 bytes, each an allocation
// more. The peak block is freed at once: a temporary allocation, and the
// one place that held more at the peak. The runs have no call flow and
// their locations are no call stacks.
const std::string expected_summary =
    "Base: run 4711: kivtest on testhost by tester, 2026-01-01 00:00:00.000 to 2026-01-01 00:00:00.005\n"
    "New:  run 4712: kivtest on testhost by tester, 2026-01-01 00:00:00.000 to 2026-01-01 00:00:00.005\n"
    "\n"
    "                         base     new  change\n"
    "  processes                 1       1       0\n"
    "  headers                   1       1       0\n"
    "  memory_records           45      49      +4  +8.9%\n"
    "  peak_bytes           11,580  15,676  +4,096  +35.4%\n"
    "  peak_blocks              24      24       0\n"
    "  live_bytes_at_end       300   1,300  +1,000  +333.3%\n"
    "  live_blocks_at_end        3       7      +4  +133.3%\n"
    "  nofree_bytes_at_end       0       0       0\n"
    "\n"
    "Leaks by location: 1 grew (1 new), 0 shrank, 1 unchanged\n"
    "  grew most:\n"
    "    bytes  change  blocks  change  name\n"
    "    1,000  +1,000       4      +4  added.c:7 (new)\n"
    "\n"
    "Leaks by call arc\n"
    "  (no call-arc data: the run has no function entry and exit records; build the program with "
    "-finstrument-functions to record its call arcs)\n"
    "\n"
    "Peak in use by malloc id: 1 grew, 0 shrank, 0 unchanged\n"
    "  grew most:\n"
    "    peak_bytes  change  peak_wf_bytes  change  name  category\n"
    "        15,676  +4,096         15,676  +4,096  general heap  general\n"
    "\n"
    "Most allocations by location: 2 grew (1 new), 0 shrank, 2 unchanged\n"
    "  grew most:\n"
    "    allocations  change   bytes  change  name\n"
    "              4      +4   1,000  +1,000  added.c:7 (new)\n"
    "              1       0  14,096  +4,096  peak.c:5\n"
    "\n"
    "Temporary allocations by location (freed within 10 records): 1 grew, 0 shrank, 0 unchanged\n"
    "  grew most:\n"
    "    blocks  change   bytes  change  name\n"
    "         1       0  14,096  +4,096  peak.c:5\n"
    "\n"
    "Peak consumers (held at the peak): 1 grew, 0 shrank, 2 unchanged\n"
    "  grew most:\n"
    "     bytes  change  blocks  change  name\n"
    "    14,096  +4,096       1       0  peak.c:5\n"
    "\n"
    "Leaks by function\n"
    "  (no call stacks: the run's locations are not named call stacks (kivrec records them))\n"
    "\n"
    "Most allocations by function\n"
    "  (no call stacks: the run's locations are not named call stacks (kivrec records them))\n";

TEST_F(DiffCommand, FindsTheAddedLeakAndTheRaisedPeakExactly) {
  const auto r = diff(both());
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.out, expected_summary);
}

// The same runs from their directories, from a database each, and mixed.
TEST_F(DiffCommand, EveryWayOfNamingTheRunsGivesTheSameComparison) {
  const std::vector<std::vector<std::string>> ways = {
      {run_dir(base_run), run_dir(new_run)},
      {run_dir(base_run) + "/kiv." + base_run + ".sql", run_dir(new_run)},
      {"--db", own_db(base_run), "--db", own_db(new_run)},
      {"--db", path("runs.db"), "--run", base_run, run_dir(new_run)},
      {run_dir(base_run), "--db", path("runs.db"), "--run", new_run},
  };
  for (const auto& way : ways) {
    const auto r = diff(way);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, expected_summary) << way.front();
  }
}

TEST_F(DiffCommand, JsonAndPageAreWritten) {
  const std::string json = path("diff.json");
  const std::string page = path("diff.html");
  const auto r = diff(both({"--json", json, "-o", page, "--top", "1", "--fail-if", "peak_bytes:+4KiB"}));
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(r.out.ends_with("\nPage: " + page + "\n")) << r.out;
  const std::string text = kivtest::read_file(json);
  EXPECT_NE(text.find("    \"peak_bytes\": {\"base\": 11580, \"new\": 15676, \"change\": 4096, \"percent\": 35.37},\n"),
            std::string::npos)
      << text;
  EXPECT_NE(text.find("      \"grew_most\": [\n"
                      "        {\"name\": \"added.c:7\", \"presence\": \"new\", \"allocations\": {\"base\": 0, "
                      "\"new\": 4, \"change\": 4}, \"bytes\": {\"base\": 0, \"new\": 1000, \"change\": 1000}}\n"
                      "      ],\n"),
            std::string::npos)
      << text;
  EXPECT_NE(text.find("\"threshold\": \"peak_bytes:+4KiB\", \"metric\": \"peak_bytes\", \"passed\": false"),
            std::string::npos);
  EXPECT_TRUE(kivtest::read_file(page).starts_with("<!DOCTYPE html>"));
}

// Thresholds the changes pass: status 1 and a line each, in the order
// given; thresholds they do not pass: status 0 and nothing said.
TEST_F(DiffCommand, EachThresholdFormPassesAndFails) {
  const auto passed = diff(both({"--fail-if", "live_bytes_at_end:+0", "--fail-if", "live_bytes_at_end:+999",
                                 "--fail-if", "peak_bytes:+4095", "--fail-if", "peak_bytes:+3.9KiB", "--fail-if",
                                 "peak_bytes:+4kB", "--fail-if", "live_bytes_at_end:+333%", "--fail-if",
                                 "peak_bytes:>=15676", "--fail-if", "memory_records:+8.8%"}));
  EXPECT_EQ(passed.status, 1);
  EXPECT_EQ(passed.out, expected_summary);
  EXPECT_EQ(passed.err,
            "kivdb diff: live_bytes_at_end:+0 passed: 300 -> 1,300 (+1,000, +333.3%)\n"
            "kivdb diff: live_bytes_at_end:+999 passed: 300 -> 1,300 (+1,000, +333.3%)\n"
            "kivdb diff: peak_bytes:+4095 passed: 11,580 -> 15,676 (+4,096, +35.4%)\n"
            "kivdb diff: peak_bytes:+3.9KiB passed: 11,580 -> 15,676 (+4,096, +35.4%)\n"
            "kivdb diff: peak_bytes:+4kB passed: 11,580 -> 15,676 (+4,096, +35.4%)\n"
            "kivdb diff: live_bytes_at_end:+333% passed: 300 -> 1,300 (+1,000, +333.3%)\n"
            "kivdb diff: peak_bytes:>=15676 passed: 11,580 -> 15,676 (+4,096, +35.4%)\n"
            "kivdb diff: memory_records:+8.8% passed: 45 -> 49 (+4, +8.9%)\n");

  const auto kept = diff(both({"--fail-if", "live_bytes_at_end:+1000", "--fail-if", "peak_bytes:+4KiB", "--fail-if",
                               "live_bytes_at_end:+334%", "--fail-if", "peak_bytes:>=15677", "--fail-if",
                               "peak_bytes:+1MiB", "--fail-if", "live_blocks_at_end:-0", "--fail-if",
                               "nofree_bytes_at_end:+0", "--fail-if", "peak_blocks:+0"}));
  EXPECT_EQ(kept.status, 0) << kept.err;
  EXPECT_EQ(kept.err, "");

  // The other way round the changes are drops: 1,300 -> 300 is 76.9% less.
  const std::vector<std::string> reversed = {"--db", path("runs.db"), "--run", new_run, "--run", base_run};
  auto falls = reversed;
  for (const char* t : {"live_bytes_at_end:-999", "live_bytes_at_end:-76.9%", "live_blocks_at_end:-0"})
    falls.insert(falls.end(), {"--fail-if", t});
  const auto fell = diff(falls);
  EXPECT_EQ(fell.status, 1);
  EXPECT_EQ(fell.err,
            "kivdb diff: live_bytes_at_end:-999 passed: 1,300 -> 300 (-1,000, -76.9%)\n"
            "kivdb diff: live_bytes_at_end:-76.9% passed: 1,300 -> 300 (-1,000, -76.9%)\n"
            "kivdb diff: live_blocks_at_end:-0 passed: 7 -> 3 (-4, -57.1%)\n");
  auto small_falls = reversed;
  for (const char* t : {"live_bytes_at_end:-1000", "live_bytes_at_end:-77%", "live_bytes_at_end:+0"})
    small_falls.insert(small_falls.end(), {"--fail-if", t});
  const auto held = diff(small_falls);
  EXPECT_EQ(held.status, 0) << held.err;
}

// A threshold that cannot be read stops the command before any run is
// read, naming the word.
TEST_F(DiffCommand, BadThresholdsAreUsageErrors) {
  const std::pair<const char*, const char*> cases[] = {
      {"peak_byte:+5%", "no figure \"peak_byte\" (figures: processes, headers, memory_records, peak_bytes, "
                        "peak_blocks, live_bytes_at_end, live_blocks_at_end, nofree_bytes_at_end)"},
      {"peak_bytes:5%", "the change must start with +, - or >= (as in +5%, -1MiB, >=4096)"},
      {"peak_bytes:+x", "a number must follow the sign (as in +5%, -1MiB, >=4096)"},
      {"peak_bytes:+1MiBs", "unknown unit \"MiBs\" (B, KiB, MiB, GiB, TiB, kB, MB, GB, TB, or % after + or -)"},
      {"peak_blocks:+1KiB", "peak_blocks counts no bytes; give its change without a unit"},
  };
  for (const auto& [word, why] : cases) {
    const auto r = diff({"--db", path("none.db"), "--db", path("none.db"), "--fail-if", word});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "kivdb diff: bad threshold \"" + std::string(word) + "\": " + why + "\n");
  }
  const auto missing = diff(both({"--fail-if"}));
  EXPECT_EQ(missing.status, 2);
  EXPECT_EQ(missing.err, "kivdb diff: --fail-if needs a value\n");
}

TEST_F(DiffCommand, MissingRunsAndBadCommandLinesAreClearErrors) {
  const std::string none = path("none.db");
  const auto no_db = diff({"--db", none, "--db", own_db(new_run)});
  EXPECT_EQ(no_db.status, 1);
  EXPECT_EQ(no_db.err, "kivdb diff: base run: " + none + ": cannot open: No such file or directory\n");
  EXPECT_FALSE(fs::exists(none));
  const auto no_run = diff({"--db", path("runs.db"), "--run", base_run, "--run", "9"});
  EXPECT_EQ(no_run.status, 1);
  EXPECT_EQ(no_run.err, "kivdb diff: new run: run 9 is not in the database (runs: 4711, 4712)\n");
  const auto several = diff({"--db", path("runs.db"), "--db", own_db(new_run)});
  EXPECT_EQ(several.err, "kivdb diff: base run: the database holds several runs (4711, 4712); choose one with --run\n");
  const auto no_dir = diff({run_dir(base_run), path("gone")});
  EXPECT_EQ(no_dir.status, 1);
  EXPECT_EQ(no_dir.err, "kivdb diff: new run: " + path("gone") + ": no such trace directory or script\n");
  EXPECT_EQ(no_dir.out, "");

  const std::string two_runs =
      "name two runs, the baseline and then the new one, each a trace directory, or --db FILE | --pg CONNINFO [--run ID]";
  const std::vector<std::pair<std::vector<std::string>, std::string>> usage = {
      {{"--db", none}, two_runs + " (1 named)"},
      {{run_dir(base_run), run_dir(new_run), run_dir(new_run)}, two_runs + " (3 named)"},
      {{"--run", base_run, "--db", none}, "--run 4711 needs a database before it (--db FILE or --pg CONNINFO)"},
      {{run_dir(base_run), "--run", base_run}, "--run 4711 needs a database before it (--db FILE or --pg CONNINFO)"},
      {both({"--colour"}), "unknown argument --colour"},
      {both({"--top", "0"}), "--top needs a positive number, not \"0\""},
      {both({"-sd", ""}), "-sd needs a character"},
      {both({"--json", path("x"), "-o", path("x")}), "-o and --json name the same file " + path("x")},
      {both({"--json", path("d/../x"), "-o", path("x")}), "-o and --json name the same file " + path("d/../x")},
  };
  for (const auto& [args, message] : usage) {
    const auto r = diff(args);
    EXPECT_EQ(r.status, 2) << message;
    EXPECT_EQ(r.err, "kivdb diff: " + message + "\n");
  }
}

// One line naming the file (and, where the system says it, why).
void expect_cannot_write(const kivtest::program_result& r, const std::string& file) {
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(r.err.starts_with("kivdb diff: cannot write " + file)) << r.err;
  EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
}

TEST_F(DiffCommand, FailedWritesAreOneLine) {
  const std::string page = path("no/such/dir/page.html");
  expect_cannot_write(diff(both({"-o", page})), page);
  if (!fs::exists("/dev/full")) return;
  expect_cannot_write(diff(both({"--json", "/dev/full"})), "/dev/full");
  std::string command = std::string(KIVDB_BINARY) + " diff";
  for (const std::string& word : both()) command += " '" + word + "'";
  expect_cannot_write(run("/bin/sh", {"-c", command + " > /dev/full"}), "to standard output");
}

TEST_F(DiffCommand, PostgresGivesTheSameComparison) {
  kivtest::pg_cluster* pg = kivtest::pg_cluster::shared();
  if (pg == nullptr) GTEST_SKIP() << kivtest::pg_cluster::skip_reason();
  const std::string conninfo = pg->new_database("diff");
  for (const std::string& runid : {base_run, new_run})
    ASSERT_EQ(run(KIVDB_BINARY, {"load", runid, "--pg", conninfo}, dir_->path()).status, 0);
  const auto r = diff({"--pg", conninfo, "--run", base_run, "--run", new_run, "--fail-if", "peak_bytes:+4095"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, expected_summary);
  EXPECT_EQ(r.err, "kivdb diff: peak_bytes:+4095 passed: 11,580 -> 15,676 (+4,096, +35.4%)\n");
}

// The page of the command in a real browser: both runs' lines painted on
// one chart, the added leak in the table of what grew.
TEST_F(DiffCommand, PageDrawsBothRunsOnOneChart) {
  if (!kivtest::browser_installed()) GTEST_SKIP() << "chromium is not installed";
  const std::string page = path("browser.html");
  ASSERT_EQ(diff(both({"-o", page})).status, 0);
  kivtest::scratch_dir browser("kiv_diff_browser");
  const auto shown = kivtest::open_in_browser(browser, page);
  EXPECT_EQ(kivtest::console_lines(shown.log), "");
  EXPECT_EQ(kivtest::body_attribute(shown.dom, "data-kiv-ready"), "yes");
  EXPECT_EQ(kivtest::body_attribute(shown.dom, "data-kiv-errors"), "0");
  EXPECT_EQ(kivtest::body_attribute(shown.dom, "data-kiv-charts"), "1");
  EXPECT_EQ(kivtest::body_attribute(shown.dom, "data-kiv-drawn"), "1");
  const std::string painted = kivtest::body_attribute(shown.dom, "data-kiv-painted");
  EXPECT_NE(painted.find("base 4711: with free"), std::string::npos) << painted;
  EXPECT_NE(painted.find("new 4712: with free"), std::string::npos) << painted;
  const std::size_t table = shown.dom.find("data-list=\"leaks_by_location-grew\"");
  ASSERT_NE(table, std::string::npos);
  EXPECT_NE(shown.dom.find("<td class=\"text\">added.c:7</td><td class=\"presence\">new</td>", table),
            std::string::npos);
}

}  // namespace
