// Bad input stops a load with one line naming the file and line, status 1,
// and the database exactly as it was: a run loaded before stays whole even
// when the failing load is a reload of that same run.

#include <sys/stat.h>

#include <algorithm>
#include <functional>

#include "db/schema.h"
#include "kivdb_fixture.h"

namespace {

using namespace kivdbtest;

// Every row of every table kivdb keeps, and the tables and views that exist.
std::string snapshot(kivdb::database& db) {
  std::string out;
  for (const std::string& table : kivdb::run_tables()) {
    const auto r = db.query("SELECT * FROM " + kivdb::quote_name(table));
    out += table + ":" + std::to_string(r.rows.size()) + "\n";
    // Engines return rows in no particular order.
    std::vector<std::string> rows;
    for (const auto& row : r.rows) {
      std::string text;
      for (const auto& v : row) text += v.value_or("<null>") + "|";
      rows.push_back(text + "\n");
    }
    std::sort(rows.begin(), rows.end());
    for (const std::string& row : rows) out += row;
  }
  return out;
}

std::string sqlite_objects(kivdb::database& db) {
  std::string out;
  for (const auto& row : db.query("SELECT type, name FROM sqlite_master ORDER BY name").rows)
    out += *row[0] + " " + *row[1] + "\n";
  return out;
}

// Replaces line `line` (1-based) of the file by what edit makes of it.
void edit_line(const std::filesystem::path& file, std::size_t line, const std::function<std::string(std::string)>& edit) {
  std::string text = kivtest::read_file(file);
  std::size_t start = 0;
  for (std::size_t i = 1; i < line; ++i) start = text.find('\n', start) + 1;
  const std::size_t end = text.find('\n', start);
  text.replace(start, end - start, edit(text.substr(start, end - start)));
  kivtest::write_file(file, text);
}

// Removes every line that holds `text`.
void drop_lines(const std::filesystem::path& file, const std::string& text) {
  std::string kept;
  for (const auto& line : csv_rows(kivtest::read_file(file), '\n'))
    if (line.front().find(text) == std::string::npos) kept += line.front() + "\n";
  kivtest::write_file(file, kept);
}

void drop_last_line(const std::filesystem::path& file) {
  std::string text = kivtest::read_file(file);
  text.pop_back();
  kivtest::write_file(file, text.substr(0, text.rfind('\n') + 1));
}

// Puts text in front of field `index` (0-based) of a row.
std::string insert_at_field(std::string row, int index, const std::string& text) {
  std::size_t p = 0;
  for (int i = 0; i < index; ++i) p = row.find(';', p) + 1;
  return row.insert(p, text);
}

struct bad_case {
  std::string name;
  std::function<void(const std::filesystem::path& dir)> spoil;
  std::string message;  // what the one line of standard error ends with
};

std::vector<bad_case> cases() {
  return {
      {"row with too few fields",
       [](const auto& dir) { edit_line(dir / "kiv.r.freemem.1.csv", 3, [](std::string l) { return l.substr(0, l.rfind(';')); }); },
       "kiv.r.freemem.1.csv:3: too few fields: 4, expected 5\n"},
      {"row with too many fields",
       [](const auto& dir) { edit_line(dir / "kiv.r.freemem.1.csv", 2, [](std::string l) { return l + ";9"; }); },
       "kiv.r.freemem.1.csv:2: too many fields: 6, expected 5\n"},
      {"memory row that lost a field",
       [](const auto& dir) { edit_line(dir / "kiv.r.memory.1.csv", 40, [](std::string l) { return l.substr(0, l.rfind(';')); }); },
       "kiv.r.memory.1.csv:40: too few fields: 93, expected 94\n"},
      {"number that does not parse",
       [](const auto& dir) { edit_line(dir / "kiv.r.memory.1.csv", 500, [](std::string l) { return insert_at_field(l, 4, "x"); }); },
       "kiv.r.memory.1.csv:500: field 5 (rec) is not a number: 'x500'\n"},
      {"negative number in an unsigned column",
       [](const auto& dir) { edit_line(dir / "kiv.r.flow.1.csv", 7, [](std::string l) { return insert_at_field(l, 5, "-"); }); },
       "kiv.r.flow.1.csv:7: field 6 (next_rec) is not a number: '-"},
      {"label of a counter group that is not there",
       [](const auto& dir) { edit_line(dir / "kiv.r.memory.1.csv", 8, [](std::string l) { return l.replace(l.find(";color;"), 7, ";colour;"); }); },
       "kiv.r.memory.1.csv:8: field 29 is 'colour', expected the label 'color'\n"},
      {"row of another run id",
       [](const auto& dir) { edit_line(dir / "kiv.r.hashloc.1.csv", 2, [](std::string l) { return "x" + l; }); },
       "kiv.r.hashloc.1.csv:2: row of run 'xr' in a file of run 'r'\n"},
      {"last row cut before its line end",
       [](const auto& dir) {
         const auto f = dir / "kiv.r.process.1.csv";
         std::string t = kivtest::read_file(f);
         kivtest::write_file(f, t.substr(0, t.size() - 1));
       },
       "the last row has no line end (a cut file?)\n"},
      {"table file the script names is missing",
       [](const auto& dir) { std::filesystem::remove(dir / "kiv.r.arena.1.csv"); },
       "kiv.r.sql:13: table file " },
      {"script that is not kiv's",
       [](const auto& dir) { edit_line(dir / "kiv.r.sql", 1, [](std::string) { return "USE OTHER"; }); },
       "kiv.r.sql:1: not a kiv import script: expected \"USE KIV\"\n"},
      {"script converted to CR LF line ends",
       [](const auto& dir) {
         const auto f = dir / "kiv.r.sql";
         std::string t;
         for (char c : kivtest::read_file(f)) t += c == '\n' ? std::string("\r\n") : std::string(1, c);
         kivtest::write_file(f, t);
       },
       "kiv.r.sql:1: the line ends in CR LF where kiv writes LF (was the script converted to another system's line ends?)\n"},
      {"import line of an unknown table",
       [](const auto& dir) { edit_line(dir / "kiv.r.sql", 9, [](std::string l) { return l.replace(l.find("'sbrk'"), 6, "'heap'"); }); },
       "kiv.r.sql:9: unknown table 'heap'\n"},
      {"import line named twice",
       [](const auto& dir) { edit_line(dir / "kiv.r.sql", 8, [](std::string l) { return l + "\n" + l; }); },
       "kiv.r.sql:9: kiv.r.memory.1.csv is named a second time (first on line 8)\n"},
      {"import line deleted",
       [](const auto& dir) { drop_lines(dir / "kiv.r.sql", "'arena'"); },
       "kiv.r.sql:24: no import line names table 'arena': a kiv script names all of its eighteen tables\n"},
      {"import line of a table's second file without its first",
       [](const auto& dir) { edit_line(dir / "kiv.r.sql", 12, [](std::string l) { return l.replace(l.find("'1';"), 4, "'2';"); }); },
       "kiv.r.sql:12: file 2 of table 'freemem' is named, but not file 1 (kiv.r.freemem.1.csv)\n"},
      {"memory table cut at a row end",
       [](const auto& dir) { drop_last_line(dir / "kiv.r.memory.1.csv"); },
       ": its memory rows end at record 783, its End marker at record 784: a table file is cut\n"},
      {"End marker gone",
       [](const auto& dir) { drop_lines(dir / "kiv.r.marker.1.csv", ";Record;End;"); },
       ": header 1 (pid 4242): it has no End marker: kiv stopped reading it, or the marker table is cut\n"},
      {"process table cut at a row end",
       [](const auto& dir) { drop_last_line(dir / "kiv.r.process.1.csv"); },
       " was started, but the process table has no row of it: a table file is cut\n"},
      {"queries record cut before its end marker",
       [](const auto& dir) {
         const auto f = dir / "kiv.r.queries.1.csv";
         std::string t = kivtest::read_file(f);
         kivtest::write_file(f, t.substr(0, t.size() - 5));
       },
       "without its end marker <<>>\n"},
      {"table file that is a FIFO",
       [](const auto& dir) {
         std::filesystem::remove(dir / "kiv.r.arena.1.csv");
         ASSERT_EQ(::mkfifo((dir / "kiv.r.arena.1.csv").c_str(), 0600), 0);
       },
       "kiv.r.arena.1.csv cannot be read: not a regular file (a FIFO)\n"},
      {"table file that links to /dev/zero",
       [](const auto& dir) {
         std::filesystem::remove(dir / "kiv.r.arena.1.csv");
         std::filesystem::create_symlink("/dev/zero", dir / "kiv.r.arena.1.csv");
       },
       "kiv.r.arena.1.csv cannot be read: not a regular file (a character device)\n"},
      {"table file with CR LF line ends",
       [](const auto& dir) {
         std::string crlf;
         for (char c : kivtest::read_file(dir / "kiv.r.process.1.csv")) crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
         kivtest::write_file(dir / "kiv.r.process.1.csv", crlf);
       },
       "kiv.r.process.1.csv:1: the line ends in CR LF where kiv writes LF (was the file converted to another "
       "system's line ends?)\n"},
  };
}

class BadInput : public kivdb_fixture {
 protected:
  // A good run loaded into the database, and a copy of it to spoil.
  std::filesystem::path good_;
  std::filesystem::path copy_;

  void SetUp() override {
    good_ = make_run("r", {"--records", "1500", "--seed", "9"});
    copy_ = scratch_.path() / "copy";
  }
  void fresh_copy() {
    std::filesystem::remove_all(copy_);
    std::filesystem::create_directories(copy_);
    for (const auto& e : std::filesystem::directory_iterator(good_))
      if (e.path().extension() == ".csv" || e.path().extension() == ".sql")
        std::filesystem::copy_file(e.path(), copy_ / e.path().filename());
  }
  void expect_refused(const std::vector<std::string>& target, const bad_case& c) {
    std::vector<std::string> args = {"load", copy_.string()};
    args.insert(args.end(), target.begin(), target.end());
    const auto r = run_kivdb(args);
    EXPECT_EQ(r.status, 1) << c.name;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << c.name << ": " << r.err;
    EXPECT_TRUE(r.err.starts_with("kivdb load: " + copy_.string() + "/")) << c.name << ": " << r.err;
    EXPECT_NE(r.err.find(c.message), std::string::npos) << c.name << ": " << r.err;
    EXPECT_EQ(r.out, "") << c.name;
  }
};

TEST_F(BadInput, EachCaseLeavesTheSqliteDatabaseAsItWas) {
  const std::string db = (scratch_.path() / "kept.db").string();
  load(good_, {"--db", db});
  const auto before = snapshot(*kivdb::open_sqlite(db));
  const auto objects = sqlite_objects(*kivdb::open_sqlite(db));
  ASSERT_EQ(before.find("memory:0\n"), std::string::npos);
  for (const bad_case& c : cases()) {
    fresh_copy();
    c.spoil(copy_);
    expect_refused({"--db", db}, c);
    auto sqlite = kivdb::open_sqlite(db);
    EXPECT_TRUE(snapshot(*sqlite) == before) << c.name;
    EXPECT_EQ(sqlite_objects(*sqlite), objects) << c.name;
  }
  expect_round_trip(good_, "r", {"--db", db}, "out");
}

TEST_F(BadInput, AFailedLoadCreatesNoDatabaseFile) {
  fresh_copy();
  cases().front().spoil(copy_);
  expect_refused({}, cases().front());
  // Nor the temporary file the database was built in.
  for (const auto& e : std::filesystem::directory_iterator(copy_))
    EXPECT_FALSE(e.path().filename().string().starts_with(".kiv.r.db")) << e.path();
  EXPECT_FALSE(std::filesystem::exists(copy_ / "kiv.r.db"));
}

TEST_F(BadInput, CommandLineAndScriptSearch) {
  EXPECT_EQ(run_kivdb({"load"}).status, 2);
  EXPECT_EQ(run_kivdb({"load", good_.string(), "--db"}).status, 2);
  EXPECT_EQ(run_kivdb({"nothing"}).status, 2);
  const auto none = run_kivdb({"load", scratch_.path().string()});
  EXPECT_EQ(none.status, 1);
  EXPECT_NE(none.err.find("no kiv.<runid>.sql import script"), std::string::npos) << none.err;
  const auto missing = run_kivdb({"export", "--db", (scratch_.path() / "none.db").string(), "--run", "r", "--out", "x"});
  EXPECT_EQ(missing.status, 1);
  EXPECT_FALSE(std::filesystem::exists(scratch_.path() / "none.db"));
}

TEST_F(BadInput, EachCaseLeavesThePostgresDatabaseAsItWas) {
  kivtest::pg_cluster* pg = kivtest::pg_cluster::shared();
  if (pg == nullptr) GTEST_SKIP() << kivtest::pg_cluster::skip_reason();
  const std::string conninfo = pg->new_database("bad_input");
  load(good_, {"--pg", conninfo});
  const auto before = snapshot(*kivdb::open_postgres(conninfo));
  // A case of each kind of failure: while reading the script, between
  // files, and in the middle of a COPY.
  const auto all = cases();
  for (const bad_case& c : {all[0], all[3], all[8], all[9]}) {
    fresh_copy();
    c.spoil(copy_);
    expect_refused({"--pg", conninfo}, c);
    EXPECT_TRUE(snapshot(*kivdb::open_postgres(conninfo)) == before) << c.name;
  }
}

}  // namespace
