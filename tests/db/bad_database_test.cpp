// Databases kivdb cannot use, and outputs it cannot write, give one line
// naming the database or file and the cause, with status 1: no SQL text,
// no file created where there was none, nothing reported done that was
// not.

#include <sqlite3.h>
#include <sys/stat.h>

#include <filesystem>
#include <functional>

#include "kivdb_fixture.h"

namespace {

using namespace kivdbtest;
namespace fs = std::filesystem;

// Runs a shell command line; for outputs the test harness cannot redirect.
kivtest::program_result shell(const std::string& line) { return run("/bin/sh", {"-c", line}); }

void sqlite_exec(const std::string& file, const std::string& sql) {
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(file.c_str(), &db), SQLITE_OK);
  EXPECT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK) << sql;
  sqlite3_close(db);
}

std::vector<std::string> tables_of(const std::string& file) {
  std::vector<std::string> names;
  for (const auto& row : kivdb::open_sqlite(file)->query("SELECT name FROM sqlite_master WHERE type = 'table' ORDER BY name").rows)
    names.push_back(*row[0]);
  return names;
}

class BadDatabase : public kivdb_fixture {
 protected:
  void SetUp() override { run_ = make_run("r", {"--records", "800", "--seed", "4"}); }

  // Runs kivdb and expects status 1 and exactly the line on standard error.
  void expect_failure(const std::vector<std::string>& args, const std::string& line) {
    const auto r = run_kivdb(args);
    EXPECT_EQ(r.status, 1) << args[0] << " " << line;
    EXPECT_EQ(r.err, line + "\n");
    EXPECT_EQ(r.out, "");
  }

  std::string path(const std::string& name) const { return scratch_ / name; }

  fs::path run_;
};

TEST_F(BadDatabase, EachBadDatabaseIsNamedWithItsCause) {
  struct bad_db {
    std::string name;
    std::function<void(const std::string& file)> make;
    std::string cause;  // after "kivdb <command>: <file>: "
  };
  const std::string empty_cause = "the database is empty: no run is loaded (load one with kivdb load)";
  const std::vector<bad_db> cases = {
      {"zero bytes", [](const std::string& f) { kivtest::write_file(f, ""); }, empty_cause},
      {"an empty SQLite database", [](const std::string& f) { sqlite_exec(f, "PRAGMA user_version = 7"); },
       empty_cause},
      {"another program's database",
       [](const std::string& f) { sqlite_exec(f, "CREATE TABLE notes (a); INSERT INTO notes VALUES (1)"); },
       "not a database of kivdb: it has no table kivdb_runs"},
      {"not a database at all", [](const std::string& f) { kivtest::write_file(f, "USE KIV\n"); },
       "not a SQLite database"},
      {"a directory", [](const std::string& f) { fs::create_directory(f); }, "cannot open: Is a directory"},
      {"no file", [](const std::string&) {}, "cannot open: No such file or directory"},
  };
  for (std::size_t i = 0; i < cases.size(); ++i) {
    const std::string db = path("bad" + std::to_string(i) + ".db");
    cases[i].make(db);
    const bool existed = fs::exists(db);
    expect_failure({"report", "--db", db}, "kivdb report: " + db + ": " + cases[i].cause);
    expect_failure({"export", "--db", db, "--run", "r", "--out", path("out")},
                   "kivdb export: " + db + ": " + cases[i].cause);
    EXPECT_EQ(fs::exists(db), existed) << cases[i].name;
  }
}

TEST_F(BadDatabase, ALoadNamesWhatItCannotLoadInto) {
  const std::string foreign = path("foreign.db");
  sqlite_exec(foreign, "CREATE TABLE runs (a, b); INSERT INTO runs VALUES (1, 2)");
  expect_failure({"load", run_.string(), "--db", foreign},
                 "kivdb load: " + foreign +
                     ": table runs lacks column run_id: the database was made by another program or another version "
                     "of kivdb");
  EXPECT_EQ(tables_of(foreign), std::vector<std::string>{"runs"});

  const std::string text = path("text.db");
  kivtest::write_file(text, "not sqlite\n");
  expect_failure({"load", run_.string(), "--db", text}, "kivdb load: " + text + ": not a SQLite database");
  EXPECT_EQ(kivtest::read_file(text), "not sqlite\n");

  fs::create_directory(path("dir.db"));
  expect_failure({"load", run_.string(), "--db", path("dir.db")},
                 "kivdb load: " + path("dir.db") + ": a directory, not a database file");
  expect_failure({"load", path("missing")}, "kivdb load: " + path("missing") + ": cannot read the script: No such file or directory");
  ASSERT_EQ(::mkfifo(path("kiv.f.sql").c_str(), 0600), 0);
  expect_failure({"load", path("kiv.f.sql")},
                 "kivdb load: " + path("kiv.f.sql") + ": cannot read the script: not a regular file (a FIFO)");
  kivtest::write_file(path("file"), "");
  expect_failure({"load", run_.string(), "--db", path("file") + "/r.db"},
                 "kivdb load: " + path("file") + "/r.db: cannot create a database in " + path("file") +
                     ": Not a directory");
}

// A SQLite file of other tables takes a run beside them: the user chose it.
TEST_F(BadDatabase, ADatabaseOfOtherTablesKeepsThemBesideTheRun) {
  const std::string shared = path("shared.db");
  sqlite_exec(shared, "CREATE TABLE notes (a); INSERT INTO notes VALUES (42)");
  load(run_, {"--db", shared});
  EXPECT_EQ(kivdb::open_sqlite(shared)->query("SELECT a FROM notes").rows.at(0).at(0), "42");
  expect_round_trip(run_, "r", {"--db", shared}, "out");
}

TEST_F(BadDatabase, EveryOutputIsCheckedWhenItIsWritten) {
  const std::string db = path("ok.db");
  load(run_, {"--db", db});
  const std::string kivdb = KIVDB_BINARY;
  const std::string full = "No space left on device";
  struct lost_output {
    std::string line;     // the shell command
    std::string message;  // the one line on standard error
  };
  const std::vector<lost_output> cases = {
      {kivdb + " report --db " + db + " > /dev/full", "kivdb report: cannot write to standard output: " + full},
      {kivdb + " report --db " + db + " --json /dev/full > /dev/null", "kivdb report: cannot write /dev/full: " + full},
      {kivdb + " report --db " + db + " -o /dev/full > /dev/null", "kivdb report: cannot write /dev/full: " + full},
      {kivdb + " report --db " + db + " -o " + path("ok.db") + "/x.html > /dev/null",
       "kivdb report: cannot write " + db + "/x.html: Not a directory"},
      {kivdb + " schema > /dev/full", "kivdb schema: cannot write to standard output: " + full},
      {kivdb + " schema --markdown >&-", "kivdb schema: cannot write to standard output: Bad file descriptor"},
      {kivdb + " export --db " + db + " --run r --out " + path("exported") + " > /dev/full",
       "kivdb export: cannot write to standard output: " + full},
      {kivdb + " load " + run_.string() + " --db " + db + " > /dev/full",
       "kivdb load: cannot write to standard output: " + full + "; the run is loaded"},
  };
  for (const lost_output& c : cases) {
    const auto r = shell(c.line);
    EXPECT_EQ(r.status, 1) << c.line;
    EXPECT_EQ(r.err, c.message + "\n") << c.line;
  }
  // A page that could not be written whole is not left behind half
  // written; the run reloaded above is whole.
  EXPECT_FALSE(fs::exists(db + "/x.html"));
  expect_round_trip(run_, "r", {"--db", db}, "out");
}

TEST_F(BadDatabase, PostgresNamesTheFileAndLineOfARefusedText) {
  kivtest::pg_cluster* pg = kivtest::pg_cluster::shared();
  if (pg == nullptr) GTEST_SKIP() << kivtest::pg_cluster::skip_reason();
  const std::string conninfo = pg->new_database("bad_text");
  const fs::path file = run_ / "kiv.r.hashloc.1.csv";
  std::string text = kivtest::read_file(file);
  const std::size_t second_line = text.find('\n') + 1;
  // The third field's separator on line 2: the source text starts after it.
  std::size_t at = second_line;
  for (int i = 0; i < 3; ++i) at = text.find(';', at) + 1;
  text.insert(at, "\xff");
  kivtest::write_file(file, text);
  expect_failure({"load", run_.string(), "--pg", conninfo},
                 "kivdb load: " + file.string() + ":2: field source: invalid byte sequence for encoding \"UTF8\": 0xff");
  EXPECT_TRUE(kivdb::open_postgres(conninfo)->table_names().empty());

  const std::string unreachable = "host=" + path("nowhere") + " dbname=x user=u password=secret";
  const auto r = run_kivdb({"report", "--pg", unreachable});
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(r.err.starts_with("kivdb report: PostgreSQL ")) << r.err;
  EXPECT_NE(r.err.find("cannot connect: "), std::string::npos) << r.err;
  EXPECT_EQ(r.err.find("secret"), std::string::npos) << r.err;
  EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
}

}  // namespace
