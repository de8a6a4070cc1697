// Named stacks from a real program to the page: a C program built here
// with gcc -O2 -g, whose leaks sit in static functions inlined into each
// other, is recorded by kivrec, converted by kiv, loaded into SQLite and
// PostgreSQL and reported. Every inlined frame is named with its file and
// line in "hashloc", in "frames", in the JSON and on the page; the frames
// rows and the by-function and peak views equal sums computed here from the
// CSV rows; the export gives the table files back byte for byte; headless
// chromium paints the flame graph and names its top frames.
#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <set>
#include <sstream>

#include "browser_page.h"
#include "csv_rows.h"
#include "db/database.h"
#include "report/directory_rows.h"
#include "report/renderers.h"
#include "report/report_builder.h"
#include "runtime/stack_text.h"
#include "support/pg_cluster.h"
#include "support/run_program.h"
#include "support/scratch_dir.h"
#include "support/source_lines.h"

namespace {

namespace fs = std::filesystem;
using kivtest::csv_table;
using kivtest::read_table;

constexpr const char* runid = "rs";

// Leaks in make_copy, inlined into remember, parse_line and main; a block
// that makes the peak; a function that calls itself; a list grown by
// realloc. The comments mark the lines the stacks must name.
const char* const program = R"c(#include <stdio.h>
#include <stdlib.h>
#include <string.h>

enum { lines = 2000, kept_every = 40, peak_bytes = 1 << 20, nest_depth = 3, nest_bytes = 300 };

/* The leaks stay reachable from here, so the compiler keeps them. */
char* kept[lines / kept_every];
void* deep;

static char* make_copy(const char* s, size_t n) {
  char* p = malloc(n + 1); /* @copy */
  if (p != NULL) {
    memcpy(p, s, n);
    p[n] = '\0';
  }
  return p;
}

static char* remember(const char* s) { return make_copy(s, strlen(s)); /* @remember */ }

static char* parse_line(const char* line) {
  const char* eq = strchr(line, '=');
  return eq == NULL ? NULL : remember(eq + 1); /* @parse */
}

__attribute__((noinline, noclone)) static char* nest(int depth) {
  if (depth == 0) return malloc(nest_bytes);
  char* p = nest(depth - 1); /* @nest */
  if (p != NULL) p[depth] = (char)depth;
  return p;
}

__attribute__((noinline, noclone)) static char* peak_buffer(void) {
  char* p = malloc(peak_bytes); /* @peak */
  if (p != NULL) memset(p, 1, peak_bytes);
  return p;
}

static char** grow(char** list, size_t* capacity) {
  *capacity = *capacity == 0 ? 4 : *capacity * 2;
  return realloc(list, *capacity * sizeof *list);
}

int main(void) {
  char line[64];
  size_t count = 0, capacity = 0;
  char** names = NULL;
  for (int i = 0; i < lines; ++i) {
    snprintf(line, sizeof line, "key%d=value-%d", i, i * 7);
    char* name = parse_line(line); /* @main_parse */
    if (name == NULL) return 3;
    if (i % kept_every == 0) {
      kept[i / kept_every] = name;
      continue;
    }
    if (count == capacity) names = grow(names, &capacity);
    if (names == NULL) return 4;
    names[count++] = name;
  }
  char* big = peak_buffer();
  deep = nest(nest_depth);
  const int status = big == NULL || deep == NULL || big[7] != 1;
  free(big);
  for (size_t i = 0; i < count; ++i) free(names[i]);
  free(names);
  return status;
}
)c";

constexpr std::int64_t kept_names = 2000 / 40;
constexpr std::int64_t peak_size = 1 << 20;
constexpr std::size_t all_entries = 1000000;

std::uint32_t line_of(const std::string& marker) { return kivtest::line_of(program, marker); }

using numbers = std::vector<std::int64_t>;
using sums = std::map<std::string, numbers>;

void add(numbers& to, const numbers& values) {
  to.resize(values.size());
  for (std::size_t i = 0; i < values.size(); ++i) to[i] += values[i];
}

void add(sums& to, const std::string& key, const numbers& values) { add(to[key], values); }

// A frame is named unless it reads `object+0x...` without a file.
bool named(const kivstack::frame& f) { return !f.file.empty() || !f.function.starts_with(f.object + "+0x"); }

std::string function_key(const kivstack::frame& f) { return f.function + "|" + f.file + "|" + f.object; }

// Figures by location spread over the functions of its stack: self for the
// function of its first named frame, total for each function once.
void add_by_function(sums& to, const std::vector<kivstack::frame>& stack, const numbers& values) {
  std::size_t self = 0;
  while (self < stack.size() && !named(stack[self])) ++self;
  if (self == stack.size()) self = 0;
  std::set<std::string> seen;
  for (const kivstack::frame& f : stack) {
    const std::string key = function_key(f);
    if (!seen.insert(key).second) continue;
    const bool is_self = key == function_key(stack[self]);
    add(to, key, {is_self ? values[0] : 0, values[0], is_self ? values[1] : 0, values[1]});
  }
}

// What the views must hold, from the CSV rows of the one process image.
struct expected_views {
  std::map<std::int64_t, std::vector<kivstack::frame>> stacks;  // by location key
  std::map<std::int64_t, std::string> sources;
  sums leaks_by_function;        // self/total bytes, self/total blocks
  sums allocations_by_function;  // self/total allocations, self/total bytes
  sums peak_by_location;         // by source: bytes, blocks
  std::size_t frame_rows = 0;
};

bool makes_block(const csv_table& m, const std::vector<std::string>& row) {
  const std::string& tag = m.get(row, "tag");
  return tag == "a" || (tag == "r" && m.num(row, "other_rec") != 0);
}

expected_views expect_from_csv(const fs::path& dir) {
  expected_views e;
  const csv_table hashloc = read_table(dir, runid, "hashloc");
  for (const auto& row : hashloc.rows) {
    const std::int64_t location = hashloc.num(row, "location");
    e.sources[location] = hashloc.get(row, "source");
    auto frames = kivstack::parse_stack(hashloc.get(row, "source"));
    if (!frames || frames->empty()) continue;
    e.frame_rows += frames->size();
    e.stacks[location] = std::move(*frames);
  }
  const csv_table m = read_table(dir, runid, "memory");
  const csv_table freemem = read_table(dir, runid, "freemem");
  std::map<std::int64_t, std::int64_t> freed_by;  // block's record -> the record that freed it
  for (const auto& row : freemem.rows) freed_by[freemem.num(row, "rec")] = freemem.num(row, "freed_by");
  std::int64_t top = -1;
  std::int64_t peak = 0;
  for (const auto& row : m.rows) {
    if (m.num(row, "global_cur_wf_size") <= top) continue;
    top = m.num(row, "global_cur_wf_size");
    peak = m.num(row, "rec");
  }
  std::map<std::int64_t, numbers> leaks;        // by location: bytes, blocks
  std::map<std::int64_t, numbers> allocations;  // by location: count, bytes
  for (const auto& row : m.rows) {
    const std::int64_t location = m.num(row, "location");
    const std::int64_t rec = m.num(row, "rec");
    const std::string& tag = m.get(row, "tag");
    if (tag == "a" || tag == "n") add(allocations[location], {1, m.num(row, "size")});
    if (!makes_block(m, row)) continue;
    // A block is alive after a record when it was made by then and not
    // freed by then.
    const auto freed = freed_by.find(rec);
    const numbers block = {m.num(row, "new_size"), 1};
    if (freed == freed_by.end()) add(leaks[location], block);
    if (rec <= peak && (freed == freed_by.end() || freed->second > peak))
      add(e.peak_by_location, e.sources[location], block);
  }
  for (const auto& [location, figures] : leaks)
    if (e.stacks.count(location)) add_by_function(e.leaks_by_function, e.stacks.at(location), figures);
  for (const auto& [location, figures] : allocations)
    if (e.stacks.count(location)) add_by_function(e.allocations_by_function, e.stacks.at(location), figures);
  return e;
}

// A view's figures summed by its text columns.
sums view_sums(kivdb::database& db, const std::string& select, std::size_t texts) {
  sums out;
  const std::vector<std::optional<std::string>> params = {runid};
  for (const auto& row : db.query(select, params).rows) {
    std::string key;
    for (std::size_t t = 0; t < texts; ++t) key += (t == 0 ? "" : "|") + row[t].value_or("");
    numbers values;
    for (std::size_t c = texts; c < row.size(); ++c) values.push_back(row[c] ? std::stoll(*row[c]) : 0);
    add(out, key, values);
  }
  return out;
}

class RecordedStacks : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = new kivtest::scratch_dir("kiv_recorded_stacks");
    source_ = (dir_->path() / "prog.c").string();
    kivtest::write_file(source_, program);
    const auto cc = kivtest::run_program(
        "/usr/bin/gcc", {{"-O2", "-g", source_, "-o", (dir_->path() / "prog").string()}, dir_->path().string(), {}});
    ASSERT_EQ(cc.status, 0) << cc.err;
    const std::string prog = (dir_->path() / "prog").string();
    const auto rec = kivtest::run_program(
        KIVREC_BINARY, {{"--dir", dir_->path().string(), "--runid", runid, "--quiet", "--", prog}, "", {}});
    ASSERT_EQ(rec.status, 0) << rec.err;
    const auto kiv = kivtest::run_program(KIV_BINARY, {{"-R", runid}, dir_->path().string(), {}});
    ASSERT_EQ(kiv.status, 0) << kiv.err;
    expected_ = new expected_views(expect_from_csv(run_dir()));
  }
  static void TearDownTestSuite() {
    delete expected_;
    delete dir_;
  }

  static fs::path run_dir() { return dir_->path() / runid; }

  static kivtest::program_result kivdb(const std::vector<std::string>& args) {
    return kivtest::run_program(KIVDB_BINARY, {args, dir_->path().string(), {}});
  }

  // The stack whose allocation site is in `function`.
  static const std::vector<kivstack::frame>& stack_from(const std::string& function) {
    for (const auto& [location, stack] : expected_->stacks)
      if (!stack.empty() && stack.front().function == function) return stack;
    throw std::logic_error("no stack from " + function);
  }

  void check_views(kivdb::database& db) {
    EXPECT_EQ(view_sums(db, "SELECT COUNT(*) FROM frames WHERE run_id = ?", 0).at(""),
              numbers{static_cast<std::int64_t>(expected_->frame_rows)});
    EXPECT_EQ(view_sums(db,
                        "SELECT function, file, object, self_bytes, total_bytes, self_blocks, total_blocks "
                        "FROM leaks_by_function WHERE run_id = ?",
                        3),
              expected_->leaks_by_function);
    EXPECT_EQ(view_sums(db,
                        "SELECT function, file, object, self_allocations, total_allocations, self_bytes, "
                        "total_bytes FROM allocations_by_function WHERE run_id = ?",
                        3),
              expected_->allocations_by_function);
    EXPECT_EQ(view_sums(db, "SELECT source, bytes, blocks FROM peak_by_location WHERE run_id = ?", 1),
              expected_->peak_by_location);
  }

  static kivtest::scratch_dir* dir_;
  static std::string source_;
  static expected_views* expected_;
};

kivtest::scratch_dir* RecordedStacks::dir_ = nullptr;
std::string RecordedStacks::source_;
expected_views* RecordedStacks::expected_ = nullptr;

// The inlined calls are frames of their own, each with the line it calls
// from; the function that calls itself is there once per call.
TEST_F(RecordedStacks, HashlocNamesEveryInlinedFrameWithItsLine) {
  const auto& copy = stack_from("make_copy");
  ASSERT_GE(copy.size(), 4u);
  const std::vector<kivstack::frame> inlined = {{"make_copy", source_, line_of("@copy"), "prog"},
                                                {"remember", source_, line_of("@remember"), "prog"},
                                                {"parse_line", source_, line_of("@parse"), "prog"},
                                                {"main", source_, line_of("@main_parse"), "prog"}};
  EXPECT_EQ(std::vector<kivstack::frame>(copy.begin(), copy.begin() + 4), inlined);
  const auto& peak = stack_from("peak_buffer");
  EXPECT_EQ(peak.front(), (kivstack::frame{"peak_buffer", source_, line_of("@peak"), "prog"}));
  std::size_t nest_frames = 0;
  for (const auto& f : stack_from("nest")) nest_frames += f.function == "nest" ? 1 : 0;
  EXPECT_GE(nest_frames, 3u);
  // The designed figures are in the sums, so they cannot agree by being empty.
  const std::string copy_key = "make_copy|" + source_ + "|prog";
  ASSERT_TRUE(expected_->leaks_by_function.count(copy_key));
  EXPECT_EQ(expected_->leaks_by_function.at(copy_key)[2], kept_names);
  EXPECT_EQ(expected_->leaks_by_function.at("nest|" + source_ + "|prog")[3], 1);
  EXPECT_EQ(expected_->peak_by_location.at(kivstack::format_stack(peak)).at(0), peak_size);
}

// The frames rows are the stacks' frames, key by key and depth by depth;
// the report of the database is the directory's; the views equal the CSV
// sums; the export gives back every table file and the script, and no file
// of frames.
TEST_F(RecordedStacks, SqliteFramesViewsAndExport) {
  const std::string file = (dir_->path() / "rs.db").string();
  const auto load = kivdb({"load", run_dir().string(), "--db", file});
  ASSERT_EQ(load.status, 0) << load.err;
  auto db = kivdb::open_sqlite(file);
  check_views(*db);
  std::map<std::int64_t, std::vector<kivstack::frame>> stored;
  const std::vector<std::optional<std::string>> params = {runid};
  db->query("SELECT location, depth, function, file, line, object FROM frames WHERE run_id = ? "
            "ORDER BY location, depth",
            params, [&](const kivdb::row_view& row) {
              auto& stack = stored[row.integer(0)];
              EXPECT_EQ(row.integer(1), static_cast<std::int64_t>(stack.size()));
              stack.push_back({std::string(row.text(2)), row.is_null(3) ? "" : std::string(row.text(3)),
                               row.is_null(4) ? 0u : static_cast<std::uint32_t>(row.integer(4)),
                               std::string(row.text(5))});
            });
  EXPECT_EQ(stored, expected_->stacks);
  // The database's report is the directory's, stacks and graph included.
  std::ostringstream db_json, dir_json, db_page, dir_page;
  const kivdb::report::report_data from_db = kivdb::report::build_report(*db, runid);
  const kivdb::report::report_data from_dir = kivdb::report::build_report(*kivdb::report::directory_rows(run_dir()));
  kivdb::report::write_json(db_json, from_db, all_entries);
  kivdb::report::write_json(dir_json, from_dir, all_entries);
  EXPECT_EQ(db_json.str(), dir_json.str());
  kivdb::report::write_html(db_page, from_db, all_entries);
  kivdb::report::write_html(dir_page, from_dir, all_entries);
  EXPECT_TRUE(db_page.str() == dir_page.str());
  EXPECT_FALSE(from_db.flame.nodes.empty());

  const fs::path out = dir_->path() / "exported";
  const auto exported = kivdb({"export", "--db", file, "--run", runid, "--out", out.string()});
  ASSERT_EQ(exported.status, 0) << exported.err;
  std::size_t compared = 0;
  for (const auto& entry : fs::directory_iterator(run_dir())) {
    const std::string name = entry.path().filename().string();
    if (!name.ends_with(".csv") && !name.ends_with(".sql")) continue;
    EXPECT_EQ(kivtest::read_file(out / name), kivtest::read_file(entry.path())) << name;
    ++compared;
  }
  EXPECT_EQ(compared, static_cast<std::size_t>(std::distance(fs::directory_iterator(out), fs::directory_iterator())));
}

TEST_F(RecordedStacks, PostgresFramesAndViews) {
  kivtest::pg_cluster* pg = kivtest::pg_cluster::shared();
  if (pg == nullptr) GTEST_SKIP() << kivtest::pg_cluster::skip_reason();
  const std::string conninfo = pg->new_database("recorded");
  const auto load = kivdb({"load", run_dir().string(), "--pg", conninfo});
  ASSERT_EQ(load.status, 0) << load.err;
  auto db = kivdb::open_postgres(conninfo);
  check_views(*db);
}

// The JSON names the leak by its allocation site and gives every inlined
// frame with its file and line.
TEST_F(RecordedStacks, JsonGivesTheWholeStack) {
  const std::string json_file = (dir_->path() / "rs.json").string();
  const auto report = kivdb({"report", run_dir().string(), "--json", json_file});
  ASSERT_EQ(report.status, 0) << report.err;
  const std::string json = kivtest::read_file(json_file);
  const auto frame = [&](const char* function, const char* marker) {
    return "{\"function\": \"" + std::string(function) + "\", \"file\": \"" + source_ +
           "\", \"line\": " + std::to_string(line_of(marker)) + ", \"object\": \"prog\"}";
  };
  const std::int64_t leaked = expected_->leaks_by_function.at("make_copy|" + source_ + "|prog")[0];
  const std::string entry = "{\"name\": \"make_copy (" + source_ + ":" + std::to_string(line_of("@copy")) +
                            ")\", \"bytes\": " + std::to_string(leaked) +
                            ", \"blocks\": " + std::to_string(kept_names) + ", \"stack\": [\n      " +
                            frame("make_copy", "@copy") + ",\n      " + frame("remember", "@remember") + ",\n      " +
                            frame("parse_line", "@parse") + ",\n      " + frame("main", "@main_parse") + ",\n";
  EXPECT_NE(json.find("  \"leaks_by_location\": [\n    " + entry), std::string::npos) << json;
}

// The steps of a user on the page: each measure at the top, then down the
// widest boxes to main, whose largest callees are the designed ones; a
// click on the first leak opens its stack.
const char* const driver = R"js(
(function () {
  const lines = [];
  const body = document.body;
  function state(step) {
    lines.push(step + ': ' + ['flame', 'flame-measure', 'flame-focus', 'flame-top']
      .map(function (name) { return body.getAttribute('data-kiv-' + name); }).join(' / '));
  }
  function clickMiddleOfLevel(level) {
    const canvas = document.querySelector('#flame canvas');
    const rect = canvas.getBoundingClientRect();
    const row = rect.height / Number(canvas.getAttribute('data-rows'));
    canvas.dispatchEvent(new MouseEvent('click', {
      bubbles: true, clientX: rect.left + rect.width / 2, clientY: rect.top + row * (level + 0.5) }));
  }
  function measure(key) {
    document.querySelector('#flame button[data-measure="' + key + '"]').click();
  }
  setTimeout(function () {
    ['alive', 'peak', 'allocations'].forEach(function (key) { measure(key); state(key); });
    for (let i = 0; i < 12 && body.getAttribute('data-kiv-flame-focus') !== 'main'; ++i) clickMiddleOfLevel(1);
    ['alive', 'peak', 'allocations'].forEach(function (key) { measure(key); state('main ' + key); });
    document.querySelector('table[data-list="leaks_by_location"] tbody tr').click();
    lines.push('stack: ' + Array.from(document.querySelectorAll('tr.stack li .fn'))
      .map(function (fn) { return fn.textContent; }).slice(0, 4).join(' < '));
    body.appendChild(Object.assign(document.createElement('pre'), { id: 'flame-log', textContent: lines.join('\n') }));
  }, 0);
})();
)js";

TEST_F(RecordedStacks, PageDrawsTheFlameGraphOfTheStacks) {
  if (!kivtest::browser_installed()) GTEST_SKIP() << "chromium is not installed";
  const std::string page_file = (dir_->path() / "rs.html").string();
  const auto report = kivdb({"report", run_dir().string(), "-o", page_file});
  ASSERT_EQ(report.status, 0) << report.err;
  std::string page = kivtest::read_file(page_file);
  page.insert(page.rfind("</body>"), "<script>" + std::string(driver) + "</script>\n");
  kivtest::write_file(page_file, page);
  kivtest::scratch_dir browser_dir("kiv_recorded_page");
  const kivtest::browser_page shown = kivtest::open_in_browser(browser_dir, page_file);
  EXPECT_EQ(kivtest::console_lines(shown.log), "");
  EXPECT_EQ(kivtest::body_attribute(shown.dom, "data-kiv-errors"), "0");
  const std::size_t log = shown.dom.find("<pre id=\"flame-log\">");
  ASSERT_NE(log, std::string::npos) << shown.dom;
  const std::size_t first = shown.dom.find('>', log) + 1;
  const std::string steps = "\n" + shown.dom.substr(first, shown.dom.find("</pre>", first) - first);
  // Every stack of the program starts in _start.
  for (const char* key : {"alive", "peak", "allocations"})
    EXPECT_NE(steps.find(std::string("\n") + key + ": painted / " + key + " / all stacks / _start"), std::string::npos)
        << steps;
  EXPECT_NE(steps.find("main alive: painted / alive / main / parse_line | nest\n"), std::string::npos) << steps;
  EXPECT_NE(steps.find("main peak: painted / peak / main / peak_buffer | parse_line | grow | nest\n"),
            std::string::npos)
      << steps;
  EXPECT_NE(steps.find("main allocations: painted / allocations / main / parse_line | grow | "), std::string::npos)
      << steps;
  EXPECT_NE(steps.find("stack: make_copy &lt; remember &lt; parse_line &lt; main"), std::string::npos) << steps;
}

}  // namespace
