// Locations that are named call stacks, in the report and the database: a
// run written with our trace writer whose location texts are stacks as
// kivrec writes them (inlined frames, a frame known only by its address, a
// function that calls itself, one text under two keys), converted by kiv
// and loaded into SQLite and PostgreSQL. The lists, the function figures,
// the peak holdings and the flame graph are checked against figures
// designed into the run; the views against the report; the directory's
// report against the database's. Below them, the parts: the holdings at
// the peak against a model that recounts every block, and the names of
// places.
#include <gtest/gtest.h>

#include <map>
#include <random>
#include <sstream>

#include "db/database.h"
#include "report/peak_holdings.h"
#include "report/renderers.h"
#include "report/report_builder.h"
#include "report/directory_rows.h"
#include "report/stack_names.h"
#include "runtime/stack_text.h"
#include "support/pg_cluster.h"
#include "support/run_program.h"
#include "support/scratch_dir.h"
#include "writer/trace_session.h"

namespace kivdb::report {
namespace {

namespace fs = std::filesystem;

// ---- the holdings at the peak -------------------------------------------

// Every block kept with its location; the figures at a peak recounted from
// all of them.
struct holdings_model {
  struct block {
    std::int64_t location;
    std::int64_t size;
  };
  std::map<std::uint64_t, block> alive;
  std::map<std::int64_t, held_figures> at_peak;

  void peak() {
    at_peak.clear();
    for (const auto& [rec, b] : alive) {
      at_peak[b.location].bytes += b.size;
      at_peak[b.location].blocks += 1;
    }
  }
};

// Thousands of blocks alive at once, freed soon or long after (beyond the
// ring of recent blocks, from the sorted list that is compacted now and
// then), frees in any order, frees of records that made nothing, a leap of
// the record numbers, and peaks now and then: the figures at the last
// peak are the blocks alive then, location by location.
TEST(PeakHoldings, FiguresAtTheLastPeakAreTheBlocksAliveThen) {
  std::mt19937_64 random(11);
  peak_holdings holdings;
  holdings_model model;
  std::vector<std::uint64_t> pending;
  constexpr int steps = 250000;
  // Halfway the record numbers leap past the whole ring.
  constexpr std::uint64_t leap = 1'000'000;
  std::uint64_t rec = 0;
  for (int step = 1; step <= steps; ++step) {
    rec += step == steps / 2 ? leap : 1;
    const unsigned action = random() % 100;
    if (action < 55 || pending.empty()) {
      const auto location = static_cast<std::int64_t>(random() % 40);
      const auto size = static_cast<std::int64_t>(1 + random() % 1000);
      const bool lasting = random() % 10 == 0;
      holdings.made(rec, location, size, lasting);
      model.alive[rec] = {location, size};
      if (!lasting) pending.push_back(rec);
    } else if (action < 97) {
      const std::size_t pick = random() % pending.size();
      holdings.ended(pending[pick]);
      model.alive.erase(pending[pick]);
      pending[pick] = pending.back();
      pending.pop_back();
    } else {
      holdings.ended(rec + leap + steps);  // no block of that record
    }
    if (random() % 500 == 0) {
      holdings.at_peak();
      model.peak();
    }
  }
  const auto held = holdings.finish();
  std::map<std::int64_t, held_figures> expected;
  for (const auto& [location, f] : model.at_peak)
    if (f.blocks != 0) expected[location] = f;
  EXPECT_EQ(held, expected);
  // finish() starts afresh: the next image holds nothing of this one's.
  holdings.made(1, 7, 10, false);
  holdings.at_peak();
  EXPECT_EQ(holdings.finish(), (std::map<std::int64_t, held_figures>{{7, {10, 1}}}));
}

// ---- names of places ------------------------------------------------------

TEST(PlaceNames, AStackIsNamedByItsFirstNamedFrameAnyOtherTextByItself) {
  const parsed_place inlined = place_of("leaf (a.c:3) [prog] < mid (a.c:9) [prog] < main (m.c:20) [prog]");
  EXPECT_EQ(inlined.name, "leaf (a.c:3)");
  ASSERT_EQ(inlined.frames.size(), 3u);
  EXPECT_EQ(inlined.frames[1], (stack_frame{"mid", "a.c", 9, "prog"}));
  // A frame known only by its address is skipped; a function without a
  // line is named alone; escapes are undone.
  const parsed_place unnamed = place_of("prog+0x1f0 < strdup [libc.so.6] < main (m.c:20) [prog]");
  EXPECT_EQ(unnamed.self, 1u);
  EXPECT_EQ(unnamed.name, "strdup");
  EXPECT_EQ(frame_text(unnamed.frames[0]), "prog+0x1f0");
  EXPECT_EQ(frame_text(unnamed.frames[1]), "strdup [libc.so.6]");
  EXPECT_EQ(place_of("a%3Bb (x%25.c:1) [p]").name, "a;b (x%.c:1)");
  // No frame named at all: the allocation site names the place.
  EXPECT_EQ(place_of("prog+0x10 < prog+0x20").name, "prog+0x10");
  for (const std::string text : {"leak.c:99", "", "(no location)", "location 12", "f (a.c:1) [p] < "}) {
    const parsed_place other = place_of(text);
    EXPECT_EQ(other.name, text);
    EXPECT_TRUE(other.frames.empty()) << text;
  }
}

// ---- a run with stacks ------------------------------------------------------

const std::string leaf_stack = "leaf (a.c:3) [prog] < mid (a.c:9) [prog] < main (m.c:20) [prog]";
// The same first frame under another caller: another entry of the same name.
const std::string other_leaf_stack = "leaf (a.c:3) [prog] < other (o.c:4) [prog] < main (m.c:21) [prog]";
const std::string walk_stack =
    "prog+0x1f0 < walk (w.c:5) [prog] < walk (w.c:7) [prog] < walk (w.c:7) [prog] < main (m.c:22) [prog]";
const std::string grow_stack = "grow (g.c:1) [prog] < main (m.c:30) [prog]";
const std::string dup_stack = "strdup [libc.so.6] < main (m.c:40) [prog]";
constexpr std::uint32_t heap = 10;
constexpr std::uint32_t leaf_size = 100;
constexpr std::uint32_t walk_size = 700;
constexpr std::uint32_t grow_size = 50000;
constexpr std::uint32_t dup_size = 30;
constexpr std::int64_t images = 2;
constexpr const char* runid = "stk";

// One image: leaf leaks 3 blocks under one key and 2 under another of the
// same text, other_leaf 1, walk 1; grow's block makes the peak and is
// freed; strdup's 4 blocks are freed at once.
void write_image(const fs::path& dir, std::int32_t pid) {
  kivw::trace_session s(kivw::deterministic_options(dir.string(), runid, pid));
  std::uint64_t addr = 0x100000;
  const auto alloc = [&](std::uint32_t size, std::uint64_t location, const std::string& text) {
    addr += 0x1000;
    s.malloc_wf(heap, 0, addr, size, size + 16, location, text);
    return addr;
  };
  s.process_start(7, pid, "stacks");
  s.schedule(0, 7);
  s.reserve_id(heap, 64, 0x4000, "ids.c:1", 1, "general heap");
  for (int i = 0; i < 3; ++i) alloc(leaf_size, 0x9001, leaf_stack);
  for (int i = 0; i < 2; ++i) alloc(leaf_size, 0x9002, leaf_stack);
  alloc(leaf_size, 0x9006, other_leaf_stack);
  alloc(walk_size, 0x9003, walk_stack);
  s.free(heap, 0, alloc(grow_size, 0x9004, grow_stack), 0, "");
  for (int i = 0; i < 4; ++i) s.free(heap, 0, alloc(dup_size, 0x9005, dup_stack), 0, "");
  s.process_end(7);
  s.close();
}

using numbers = std::vector<std::int64_t>;

// A list's rows by their texts joined, with the names of stacks made
// unique by their stacks' second frames.
std::map<std::string, numbers> rows_of(const report_data& r, const top_list& list) {
  std::map<std::string, numbers> out;
  for (const top_row& row : list.rows) {
    std::string key;
    for (const std::string& t : row.texts) key += (key.empty() ? "" : "|") + t;
    if (row.stack.size() > 1) key += " < " + r.frames[row.stack[1]].function;
    EXPECT_EQ(out.count(key), 0u) << key;
    out[key] = row.numbers;
  }
  return out;
}

const top_list& list_of(const report_data& r, const std::string& key) {
  for (const top_list& list : r.lists)
    if (list.key == key) return list;
  throw std::logic_error("no list " + key);
}

std::int64_t as_number(const std::optional<std::string>& text) { return text ? std::stoll(*text) : 0; }

class StackReport : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = new kivtest::scratch_dir("kiv_stack_report");
    for (std::int32_t pid = 1000; pid < 1000 + images; ++pid) write_image(dir_->path(), pid);
    const auto kiv = kivtest::run_program(KIV_BINARY, {{"-R", runid}, dir_->path().string(), {}});
    ASSERT_EQ(kiv.status, 0) << kiv.err;
  }
  static void TearDownTestSuite() {
    delete dir_;
    dir_ = nullptr;
  }

  static fs::path run_dir() { return dir_->path() / runid; }

  static void load(const std::vector<std::string>& target) {
    std::vector<std::string> args{"load", run_dir().string()};
    args.insert(args.end(), target.begin(), target.end());
    const auto run = kivtest::run_program(KIVDB_BINARY, {args, "", {}});
    ASSERT_EQ(run.status, 0) << run.err;
  }

  static kivtest::scratch_dir* dir_;
};

kivtest::scratch_dir* StackReport::dir_ = nullptr;

// What the run was written to hold, both images added up.
void check_designed_figures(const report_data& r) {
  const std::int64_t n = images;
  EXPECT_EQ(rows_of(r, list_of(r, "leaks_by_location")),
            (std::map<std::string, numbers>{{"leaf (a.c:3) < mid", {5 * n * leaf_size, 5 * n}},
                                            {"leaf (a.c:3) < other", {n * leaf_size, n}},
                                            {"walk (w.c:5) < walk", {n * walk_size, n}}}));
  EXPECT_EQ(rows_of(r, list_of(r, "peak_by_location")),
            (std::map<std::string, numbers>{{"leaf (a.c:3) < mid", {5 * n * leaf_size, 5 * n}},
                                            {"leaf (a.c:3) < other", {n * leaf_size, n}},
                                            {"walk (w.c:5) < walk", {n * walk_size, n}},
                                            {"grow (g.c:1) < main", {n * grow_size, n}}}));
  EXPECT_EQ(rows_of(r, list_of(r, "temporary_by_location")).at("strdup < main"), (numbers{4 * n, 4 * n * dup_size}));
  // Self where the function is a stack's first named frame, total once per
  // stack: walk calls itself twice and counts once; the frame known only
  // by its address counts in its stack's total alone.
  const std::int64_t leaked = 6 * n * leaf_size + n * walk_size;
  EXPECT_EQ(rows_of(r, list_of(r, "leaks_by_function")),
            (std::map<std::string, numbers>{{"leaf|a.c|prog", {6 * n * leaf_size, 6 * n * leaf_size, 6 * n, 6 * n}},
                                            {"mid|a.c|prog", {0, 5 * n * leaf_size, 0, 5 * n}},
                                            {"other|o.c|prog", {0, n * leaf_size, 0, n}},
                                            {"walk|w.c|prog", {n * walk_size, n * walk_size, n, n}},
                                            {"prog+0x1f0||prog", {0, n * walk_size, 0, n}},
                                            {"main|m.c|prog", {0, leaked, 0, 7 * n}}}));
  const std::map<std::string, numbers> allocations = rows_of(r, list_of(r, "allocations_by_function"));
  EXPECT_EQ(allocations.at("strdup||libc.so.6"), (numbers{4 * n, 4 * n, 4 * n * dup_size, 4 * n * dup_size}));
  EXPECT_EQ(allocations.at("main|m.c|prog")[1], 12 * n);
  for (const top_list& list : r.lists) EXPECT_EQ(list.note, list.key == "leaks_by_arc" ? no_call_arcs_note : "");
  // The flame graph's root holds every stack's figures.
  ASSERT_FALSE(r.flame.nodes.empty());
  EXPECT_EQ(r.flame.nodes[0].total,
            (flame_values{static_cast<std::uint64_t>(leaked),
                          static_cast<std::uint64_t>(leaked + n * grow_size), static_cast<std::uint64_t>(12 * n)}));
  ASSERT_GE(r.flame.nodes.size(), 2u);
  EXPECT_EQ(r.flame.frames[static_cast<std::size_t>(r.flame.nodes[1].frame)].function, "main");
}

// Sums of a view's rows over the images, by its text columns.
std::map<std::string, numbers> view_sums(database& db, const std::string& select, std::size_t texts) {
  std::map<std::string, numbers> out;
  const std::vector<std::optional<std::string>> params = {runid};
  for (const auto& row : db.query(select, params).rows) {
    std::string key;
    for (std::size_t t = 0; t < texts; ++t) key += (t == 0 ? "" : "|") + row[t].value_or("");
    numbers& sums = out[key];
    sums.resize(row.size() - texts);
    for (std::size_t c = texts; c < row.size(); ++c) sums[c - texts] += as_number(row[c]);
  }
  return out;
}

// The list's rows by their texts (stacks as their stack text), summed.
std::map<std::string, numbers> report_sums(const report_data& r, const top_list& list) {
  std::map<std::string, numbers> out;
  for (const top_row& row : list.rows) {
    std::string key;
    if (row.stack.empty()) {
      for (const std::string& t : row.texts) key += (key.empty() ? "" : "|") + t;
    } else {
      std::vector<kivstack::frame> frames;
      for (const stack_frame& f : frames_of(r.frames, row)) frames.push_back({f.function, f.file, f.line, f.object});
      key = kivstack::format_stack(frames);
    }
    numbers& sums = out[key];
    sums.resize(row.numbers.size());
    for (std::size_t c = 0; c < row.numbers.size(); ++c) sums[c] += row.numbers[c];
  }
  return out;
}

// The views say what the report says: by function, and held at the peak.
void check_views(database& db, const report_data& r) {
  EXPECT_EQ(view_sums(db,
                      "SELECT function, file, object, self_bytes, total_bytes, self_blocks, total_blocks "
                      "FROM leaks_by_function WHERE run_id = ?",
                      3),
            report_sums(r, list_of(r, "leaks_by_function")));
  EXPECT_EQ(view_sums(db,
                      "SELECT function, file, object, self_allocations, total_allocations, self_bytes, total_bytes "
                      "FROM allocations_by_function WHERE run_id = ?",
                      3),
            report_sums(r, list_of(r, "allocations_by_function")));
  EXPECT_EQ(view_sums(db, "SELECT source, bytes, blocks FROM peak_by_location WHERE run_id = ?", 1),
            report_sums(r, list_of(r, "peak_by_location")));
  // Every frame of every stack, each image's under its own keys.
  const auto frames = db.query("SELECT COUNT(*), COUNT(DISTINCT image) FROM frames WHERE run_id = ?",
                               std::vector<std::optional<std::string>>{runid});
  EXPECT_EQ(frames.rows.at(0).at(0), std::to_string(images * (3 + 3 + 3 + 5 + 2 + 2)));
  EXPECT_EQ(frames.rows.at(0).at(1), std::to_string(images));
}

void check_database(database& db) {
  const report_data r = build_report(db, runid);
  check_designed_figures(r);
  check_views(db, r);
}

TEST_F(StackReport, SqliteListsViewsAndFlameGraphHoldTheDesignedFigures) {
  const std::string file = dir_->path() / "stacks.db";
  load({"--db", file});
  auto db = open_sqlite(file);
  check_database(*db);
  // The frames of one location: depth from the allocation site, unknown
  // file and line as NULL.
  const auto walk = db->query("SELECT depth, function, file, line, object FROM frames WHERE run_id = ? AND image = 1 "
                              "AND location = ? ORDER BY depth",
                              std::vector<std::optional<std::string>>{runid, std::to_string(0x9003)});
  ASSERT_EQ(walk.rows.size(), 5u);
  using row = std::vector<std::optional<std::string>>;
  EXPECT_EQ(walk.rows[0], (row{"0", "prog+0x1f0", std::nullopt, std::nullopt, "prog"}));
  EXPECT_EQ(walk.rows[2], (row{"2", "walk", "w.c", "7", "prog"}));
  EXPECT_EQ(walk.rows[4], (row{"4", "main", "m.c", "22", "prog"}));
}

TEST_F(StackReport, PostgresViewsGiveTheSameFigures) {
  kivtest::pg_cluster* pg = kivtest::pg_cluster::shared();
  if (pg == nullptr) GTEST_SKIP() << kivtest::pg_cluster::skip_reason();
  const std::string conninfo = pg->new_database("stacks");
  load({"--pg", conninfo});
  auto db = open_postgres(conninfo);
  check_database(*db);
}

// The JSON gives each entry's stack, frame by frame; the directory's
// report is the database's byte for byte; the terminal shows stacks only
// when asked.
TEST_F(StackReport, JsonAndTerminalShowTheStacks) {
  const std::string file = dir_->path() / "json.db";
  load({"--db", file});
  auto db = open_sqlite(file);
  const report_data from_db = build_report(*db, runid);
  const report_data from_files = build_report(*directory_rows(run_dir()));
  std::ostringstream db_json, files_json, db_page, files_page;
  write_json(db_json, from_db, 100);
  write_json(files_json, from_files, 100);
  EXPECT_EQ(db_json.str(), files_json.str());
  write_html(db_page, from_db, 100);
  write_html(files_page, from_files, 100);
  EXPECT_TRUE(db_page.str() == files_page.str());
  const std::string walk_entry =
      "    {\"name\": \"walk (w.c:5)\", \"bytes\": 1400, \"blocks\": 2, \"stack\": [\n"
      "      {\"function\": \"prog+0x1f0\", \"file\": null, \"line\": null, \"object\": \"prog\"},\n"
      "      {\"function\": \"walk\", \"file\": \"w.c\", \"line\": 5, \"object\": \"prog\"},\n"
      "      {\"function\": \"walk\", \"file\": \"w.c\", \"line\": 7, \"object\": \"prog\"},\n"
      "      {\"function\": \"walk\", \"file\": \"w.c\", \"line\": 7, \"object\": \"prog\"},\n"
      "      {\"function\": \"main\", \"file\": \"m.c\", \"line\": 22, \"object\": \"prog\"}\n"
      "    ]}";
  EXPECT_NE(db_json.str().find(walk_entry), std::string::npos) << db_json.str();
  EXPECT_NE(db_json.str().find("{\"function\": \"leaf\", \"file\": \"a.c\", \"object\": \"prog\", \"self_bytes\": 1200,"
                               " \"total_bytes\": 1200, \"self_blocks\": 12, \"total_blocks\": 12}"),
            std::string::npos);

  const auto plain = kivtest::run_program(KIVDB_BINARY, {{"report", run_dir().string(), "--top", "1"}, "", {}});
  ASSERT_EQ(plain.status, 0) << plain.err;
  const auto stacks =
      kivtest::run_program(KIVDB_BINARY, {{"report", run_dir().string(), "--top", "1", "--stacks"}, "", {}});
  ASSERT_EQ(stacks.status, 0) << stacks.err;
  EXPECT_NE(plain.out.find("  1,400      2  walk (w.c:5)\n\nLeaks by call arc"), std::string::npos) << plain.out;
  EXPECT_NE(stacks.out.find("  1,400      2  walk (w.c:5)\n"
                            "      prog+0x1f0\n"
                            "      walk (w.c:5) [prog]\n"
                            "      walk (w.c:7) [prog]\n"
                            "      walk (w.c:7) [prog]\n"
                            "      main (m.c:22) [prog]\n\nLeaks by call arc"),
            std::string::npos)
      << stacks.out;
  // Lists without stacks are the same either way.
  EXPECT_EQ(stacks.out.substr(stacks.out.find("Leaks by function")),
            plain.out.substr(plain.out.find("Leaks by function")));
}

}  // namespace
}  // namespace kivdb::report
