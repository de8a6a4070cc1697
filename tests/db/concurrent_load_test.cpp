// Loads that run at once never lose a run: every load that says "loaded"
// has its run in the database, byte for byte, whether the loads create the
// database together or share one that exists. A load waits for another's
// lock instead of failing, and SIGTERM, or a table file cut short, stops a
// load with the database as it was and no file left behind.

#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <functional>
#include <thread>

#include "db/schema.h"
#include "kivdb_fixture.h"

namespace {

using namespace kivdbtest;
namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr int sqlite_pairs = 20;
constexpr int postgres_pairs = 10;
constexpr int sigterm_status = 128 + SIGTERM;
// Long enough for a load's start to be seen and stopped before its end.
constexpr auto longest_wait = 60s;

kivtest::program_run kivdb_run(std::vector<std::string> args) {
  kivtest::program_run r;
  r.args = std::move(args);
  return r;
}

// Polls until done() holds or the program ends; false when it ended first.
bool wait_for(kivtest::running_program& program, const std::function<bool()>& done) {
  const auto deadline = std::chrono::steady_clock::now() + longest_wait;
  while (std::chrono::steady_clock::now() < deadline) {
    if (done()) return true;
    if (program.finished()) return false;
    std::this_thread::sleep_for(1ms);
  }
  return false;
}

bool has_file_starting(const fs::path& dir, const std::string& prefix) {
  for (const auto& e : fs::directory_iterator(dir))
    if (e.path().filename().string().starts_with(prefix)) return true;
  return false;
}

// Whether the process has the file open: the loader is reading it.
bool has_open(pid_t pid, const fs::path& file) {
  std::error_code ec;
  for (const auto& e : fs::directory_iterator("/proc/" + std::to_string(pid) + "/fd", ec)) {
    if (fs::read_symlink(e.path(), ec) == file) return true;
  }
  return false;
}

std::string loaded_runs(kivdb::database& db) {
  std::string out;
  for (const auto& row : db.query("SELECT run_id FROM kivdb_runs ORDER BY run_id").rows) out += *row[0] + " ";
  return out;
}

class ConcurrentLoad : public kivdb_fixture {
 protected:
  void SetUp() override {
    a_ = make_run("a", {"--records", "3000", "--seed", "1"});
    b_ = make_run("b", {"--records", "3000", "--seed", "2"});
  }

  // Starts loads of a and b into the target at once; both must say
  // "loaded".
  void load_pair(const std::vector<std::string>& target) {
    std::vector<std::string> load_a = {"load", a_.string()};
    std::vector<std::string> load_b = {"load", b_.string()};
    load_a.insert(load_a.end(), target.begin(), target.end());
    load_b.insert(load_b.end(), target.begin(), target.end());
    kivtest::running_program first(KIVDB_BINARY, kivdb_run(load_a));
    kivtest::running_program second(KIVDB_BINARY, kivdb_run(load_b));
    for (kivtest::running_program* p : {&first, &second}) {
      const auto r = p->wait();
      EXPECT_EQ(r.status, 0) << r.err;
      EXPECT_NE(r.out.find(" loaded into "), std::string::npos) << r.out;
      EXPECT_EQ(r.err, "");
    }
  }

  void expect_both(const std::vector<std::string>& target, const std::string& tag) {
    expect_round_trip(a_, "a", target, "out_a_" + tag);
    expect_round_trip(b_, "b", target, "out_b_" + tag);
  }

  fs::path a_;
  fs::path b_;
};

TEST_F(ConcurrentLoad, PairsCreatingOneSqliteFileKeepBothRuns) {
  for (int i = 0; i < sqlite_pairs; ++i) {
    const std::string db = scratch_ / ("new" + std::to_string(i) + ".db");
    load_pair({"--db", db});
    ASSERT_EQ(loaded_runs(*kivdb::open_sqlite(db)), "a b ") << "pair " << i;
    expect_both({"--db", db}, std::to_string(i));
    EXPECT_FALSE(has_file_starting(scratch_.path(), ".new" + std::to_string(i) + ".db")) << "pair " << i;
  }
}

TEST_F(ConcurrentLoad, PairsIntoAnExistingSqliteFileWaitForEachOther) {
  const auto c = make_run("c", {"--records", "500", "--seed", "3"});
  for (int i = 0; i < sqlite_pairs; ++i) {
    const std::string db = scratch_ / ("old" + std::to_string(i) + ".db");
    load(c, {"--db", db});
    load_pair({"--db", db});
    ASSERT_EQ(loaded_runs(*kivdb::open_sqlite(db)), "a b c ") << "pair " << i;
    expect_both({"--db", db}, std::to_string(i));
    expect_round_trip(c, "c", {"--db", db}, "out_c_" + std::to_string(i));
  }
}

TEST_F(ConcurrentLoad, PairsIntoOnePostgresDatabaseWaitForEachOther) {
  kivtest::pg_cluster* pg = kivtest::pg_cluster::shared();
  if (pg == nullptr) GTEST_SKIP() << kivtest::pg_cluster::skip_reason();
  const std::string conninfo = pg->new_database("concurrent");
  for (int i = 0; i < postgres_pairs; ++i) {
    load_pair({"--pg", conninfo});
    ASSERT_EQ(loaded_runs(*kivdb::open_postgres(conninfo)), "a b ") << "pair " << i;
    expect_both({"--pg", conninfo}, std::to_string(i));
  }
}

// A load waits while another holds the database, then goes on; a signal
// ends the wait.
TEST_F(ConcurrentLoad, ALoadWaitsForTheLockOfAnotherAndStopsOnSigterm) {
  const std::string db = scratch_ / "held.db";
  load(a_, {"--db", db});
  {
    auto holder = kivdb::open_sqlite(db);
    holder->begin_load();
    kivtest::running_program waiting(KIVDB_BINARY, kivdb_run({"load", b_.string(), "--db", db}));
    std::this_thread::sleep_for(300ms);
    EXPECT_FALSE(waiting.finished()) << waiting.wait().err;
    holder->commit();
    const auto r = waiting.wait();
    EXPECT_EQ(r.status, 0) << r.err;
  }
  expect_both({"--db", db}, "held");

  auto holder = kivdb::open_sqlite(db);
  holder->begin_load();
  kivtest::running_program stopped(KIVDB_BINARY, kivdb_run({"load", b_.string(), "--db", db}));
  std::this_thread::sleep_for(300ms);
  ASSERT_EQ(::kill(stopped.pid(), SIGTERM), 0);
  const auto r = stopped.wait();
  EXPECT_EQ(r.status, sigterm_status) << r.err;
  EXPECT_EQ(r.err, "kivdb load: stopped by SIGTERM; the run was not loaded and the database is as it was\n");
  holder->rollback();
}

TEST_F(ConcurrentLoad, APostgresLoadWaitsForTheLockOfAnother) {
  kivtest::pg_cluster* pg = kivtest::pg_cluster::shared();
  if (pg == nullptr) GTEST_SKIP() << kivtest::pg_cluster::skip_reason();
  const std::string conninfo = pg->new_database("held");
  auto holder = kivdb::open_postgres(conninfo);
  holder->begin_load();
  kivtest::running_program waiting(KIVDB_BINARY, kivdb_run({"load", a_.string(), "--pg", conninfo}));
  std::this_thread::sleep_for(300ms);
  EXPECT_FALSE(waiting.finished());
  holder->commit();
  const auto r = waiting.wait();
  EXPECT_EQ(r.status, 0) << r.err;
  expect_round_trip(a_, "a", {"--pg", conninfo}, "out_held");
}

// The planner has statistics of a run as soon as its load returns, and the
// summary line names the database without the password it was given.
TEST_F(ConcurrentLoad, APostgresLoadAnalyzesItsTables) {
  kivtest::pg_cluster* pg = kivtest::pg_cluster::shared();
  if (pg == nullptr) GTEST_SKIP() << kivtest::pg_cluster::skip_reason();
  const std::string conninfo = pg->new_database("analyzed") + " password=secret";
  const auto r = run_kivdb({"load", a_.string(), "--pg", conninfo});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out.find("secret"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find(", statistics "), std::string::npos) << r.out;
  auto db = kivdb::open_postgres(conninfo);
  for (const std::string table : {"memory", "freemem", "marker", "kivdb_files"}) {
    const auto stats = db->query("SELECT COUNT(*) FROM pg_stats WHERE tablename = ?", {{table}}).rows.at(0).at(0);
    EXPECT_NE(stats, "0") << table;
  }
}

// A run large enough that its load can be caught in the middle.
class StoppedLoad : public kivdb_fixture {
 protected:
  void SetUp() override { big_ = make_run("big", {"--records", "200000", "--seed", "5"}); }

  fs::path big_;
};

TEST_F(StoppedLoad, SigtermDuringALoadIntoANewFileLeavesNoFile) {
  kivtest::running_program load(KIVDB_BINARY, kivdb_run({"load", big_.string()}));
  ASSERT_TRUE(wait_for(load, [&] { return has_file_starting(big_, ".kiv.big.db"); })) << load.wait().err;
  ASSERT_EQ(::kill(load.pid(), SIGTERM), 0);
  const auto r = load.wait();
  EXPECT_EQ(r.status, sigterm_status) << r.err;
  EXPECT_EQ(r.err, "kivdb load: stopped by SIGTERM; the run was not loaded and the database is as it was\n");
  EXPECT_FALSE(has_file_starting(big_, ".kiv.big.db"));
  EXPECT_FALSE(has_file_starting(big_, "kiv.big.db"));
}

TEST_F(StoppedLoad, SigtermDuringALoadIntoAnExistingFileRollsItBack) {
  const auto small = make_run("small", {"--records", "500", "--seed", "6"});
  const std::string db = scratch_ / "kept.db";
  load(small, {"--db", db});
  const std::string before = kivtest::read_file(db);
  kivtest::running_program load(KIVDB_BINARY, kivdb_run({"load", big_.string(), "--db", db}));
  ASSERT_TRUE(wait_for(load, [&] { return fs::exists(db + "-journal"); })) << load.wait().err;
  ASSERT_EQ(::kill(load.pid(), SIGTERM), 0);
  const auto r = load.wait();
  EXPECT_EQ(r.status, sigterm_status) << r.err;
  EXPECT_FALSE(fs::exists(db + "-journal"));
  EXPECT_TRUE(kivtest::read_file(db) == before) << "the database changed";
}

TEST_F(StoppedLoad, SigtermDuringAPostgresLoadRollsItBack) {
  kivtest::pg_cluster* pg = kivtest::pg_cluster::shared();
  if (pg == nullptr) GTEST_SKIP() << kivtest::pg_cluster::skip_reason();
  const std::string conninfo = pg->new_database("stopped");
  auto watcher = kivdb::open_postgres(conninfo);
  const auto copying = [&] {
    return watcher->query("SELECT COUNT(*) FROM pg_stat_activity WHERE query LIKE 'COPY %'").rows.at(0).at(0) != "0";
  };
  kivtest::running_program load(KIVDB_BINARY, kivdb_run({"load", big_.string(), "--pg", conninfo}));
  ASSERT_TRUE(wait_for(load, copying)) << load.wait().err;
  ASSERT_EQ(::kill(load.pid(), SIGTERM), 0);
  const auto r = load.wait();
  EXPECT_EQ(r.status, sigterm_status) << r.err;
  EXPECT_TRUE(watcher->table_names().empty());
}

// A load that fails while another creates the same database beside it
// takes only its own work with it.
TEST_F(StoppedLoad, AFailingLoadNeverRemovesTheDatabaseOfAnother) {
  const fs::path memory = big_ / "kiv.big.memory.1.csv";
  fs::resize_file(memory, fs::file_size(memory) - 1);
  const auto small = make_run("small", {"--records", "500", "--seed", "6"});
  const std::string db = scratch_ / "both.db";
  kivtest::running_program failing(KIVDB_BINARY, kivdb_run({"load", big_.string(), "--db", db}));
  ASSERT_TRUE(wait_for(failing, [&] { return has_file_starting(scratch_.path(), ".both.db") || fs::exists(db); }))
      << failing.wait().err;
  const auto good = run_kivdb({"load", small.string(), "--db", db});
  EXPECT_EQ(good.status, 0) << good.err;
  const auto failed = failing.wait();
  EXPECT_EQ(failed.status, 1) << failed.err;
  EXPECT_NE(failed.err.find("the last row has no line end"), std::string::npos) << failed.err;
  ASSERT_TRUE(fs::exists(db));
  expect_round_trip(small, "small", {"--db", db}, "out_small");
}

TEST_F(StoppedLoad, ATableFileCutDuringTheLoadIsReported) {
  const fs::path memory = big_ / "kiv.big.memory.1.csv";
  const auto size = fs::file_size(memory);
  kivtest::running_program load(KIVDB_BINARY, kivdb_run({"load", big_.string()}));
  ASSERT_TRUE(wait_for(load, [&] { return has_open(load.pid(), memory); })) << load.wait().err;
  ASSERT_EQ(::truncate(memory.c_str(), static_cast<off_t>(size / 2)), 0);
  const auto r = load.wait();
  EXPECT_EQ(r.status, 1) << r.err;
  EXPECT_TRUE(r.err.starts_with("kivdb load: " + memory.string() + ": the file changed during the load (" +
                                std::to_string(size) + " bytes when the load began, "))
      << r.err;
  EXPECT_FALSE(has_file_starting(big_, ".kiv.big.db"));
  EXPECT_FALSE(has_file_starting(big_, "kiv.big.db"));
}

}  // namespace
