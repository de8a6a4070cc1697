// kivdb load then export gives back every table file and the import script
// byte for byte, in both engines.

#include "kivdb_fixture.h"

namespace {

using namespace kivdbtest;

// kivgen's options for a run that holds all 32 record types.
const std::vector<std::string> every_record_type = {"--records", "60000", "--size", "64", "--seed", "3"};
// A "memory" file limit of 30 KB less 2048 bytes: many rotated files.
const std::vector<std::string> rotated = {"-M", "30K"};

class RoundTrip : public kivdb_fixture {};

TEST_F(RoundTrip, EveryRecordTypeInSqlite) {
  const auto dir = make_run("all", every_record_type);
  ASSERT_EQ(files_of(dir, ".csv").size(), 18u);
  for (const auto& [name, bytes] : files_of(dir, ".csv")) EXPECT_FALSE(bytes.empty()) << name;
  load(dir, {});
  ASSERT_TRUE(std::filesystem::exists(dir / "kiv.all.db"));
  expect_round_trip(dir, "all", {"--db", (dir / "kiv.all.db").string()}, "out");
}

TEST_F(RoundTrip, RotatedFilesAndOtherSeparatorsInSqlite) {
  const auto dir = make_run("rot", {"--records", "4000", "--seed", "5"}, {"-M", "30K", "-sd", ",", "-sf", ":"});
  const auto files = files_of(dir, ".csv");
  ASSERT_TRUE(files.count("kiv.rot.memory.5.csv")) << "expected rotated memory files";
  const std::string db = (scratch_.path() / "rot.db").string();
  load(dir, {"--db", db}, {"-sd", ",", "-sf", ":"});
  expect_round_trip(dir, "rot", {"--db", db}, "out");

  // The object id and the function number joined by -sf are two columns.
  auto sqlite = kivdb::open_sqlite(db);
  const auto r = sqlite->query("SELECT COUNT(*) FROM memory WHERE parent_funnr > 0 AND child_objid > 0");
  EXPECT_NE(r.rows.at(0).at(0), "0");
}

TEST_F(RoundTrip, ReloadReplacesTheRunAndRunsLiveSideBySide) {
  const auto one = make_run("one", {"--records", "3000", "--seed", "7"});
  const auto two = make_run("two", {"--records", "2000", "--seed", "8"}, rotated);
  const std::string db = (scratch_.path() / "both.db").string();
  load(one, {"--db", db});
  load(two, {"--db", db});
  load(one, {"--db", db});
  auto sqlite = kivdb::open_sqlite(db);
  const auto counts = sqlite->query("SELECT run_id, COUNT(*) FROM memory GROUP BY run_id ORDER BY run_id");
  ASSERT_EQ(counts.rows.size(), 2u);
  EXPECT_EQ(counts.rows[0][1], std::to_string(csv_rows(kivtest::read_file(one / "kiv.one.memory.1.csv")).size()));
  // Every load appends: the reloaded run's rows come after the other's.
  const auto order = sqlite->query("SELECT (SELECT MAX(row_nr) FROM memory WHERE run_id = 'two') < "
                                   "(SELECT MIN(row_nr) FROM memory WHERE run_id = 'one')");
  EXPECT_EQ(order.rows.at(0).at(0), "1");
  expect_round_trip(one, "one", {"--db", db}, "out1");
  expect_round_trip(two, "two", {"--db", db}, "out2");
}

// Both runs into one PostgreSQL database, the second moved there from
// SQLite through an export; each comes back byte for byte.
TEST_F(RoundTrip, PostgresHoldsEveryRecordTypeAndRotatedFiles) {
  kivtest::pg_cluster* pg = kivtest::pg_cluster::shared();
  if (pg == nullptr) GTEST_SKIP() << kivtest::pg_cluster::skip_reason();
  const std::string conninfo = pg->new_database("round_trip");
  ASSERT_FALSE(conninfo.empty());
  const auto all = make_run("all", every_record_type);
  load(all, {"--pg", conninfo});
  expect_round_trip(all, "all", {"--pg", conninfo}, "pg_all");

  const auto rot = make_run("rot", {"--records", "2000", "--seed", "5"}, rotated);
  const std::string sqlite_db = (scratch_.path() / "rot.db").string();
  load(rot, {"--db", sqlite_db});
  const auto moved = run_kivdb({"export", "--db", sqlite_db, "--run", "rot", "--out", (scratch_.path() / "moved").string()});
  ASSERT_EQ(moved.status, 0) << moved.err;
  load(scratch_.path() / "moved", {"--pg", conninfo});
  expect_round_trip(rot, "rot", {"--pg", conninfo}, "pg_rot");
}

}  // namespace
