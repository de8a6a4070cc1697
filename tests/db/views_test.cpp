// The views' answers against sums computed straight from the CSV rows kiv
// wrote, in both engines.

#include <algorithm>
#include <map>
#include <regex>
#include <set>
#include <tuple>

#include "kivdb_fixture.h"

namespace {

using namespace kivdbtest;

// Positions of the "memory" row's fields, as kiv writes them.
enum memory_field : std::size_t {
  f_pid = 1, f_tag = 3, f_rec = 4, f_rec_k = 5, f_process_id = 6, f_arc = 7, f_location = 18, f_malid = 19,
  f_new_size = 24, f_new_tot_size = 25, f_other_rec = 27, f_malid_in_use_size = 44, f_process_in_use_size = 57,
  f_global_cur_wf_size = 81, f_global_cur_nf_size = 86, memory_fields = 94
};
enum freemem_field : std::size_t { fm_pid = 1, fm_rec = 2 };

struct sums {
  long long blocks = 0;
  long long bytes = 0;
  long long tot_bytes = 0;
  bool operator==(const sums&) const = default;
};

// What the views must answer, from the CSV files alone.
struct expected {
  long long live = 0;
  std::map<std::string, sums> by_location, by_malid, by_arc;
  std::map<std::string, long long> peak_malid, peak_process, usage;
};

long long number(const std::string& s) { return std::stoll(s); }

expected from_csv(const std::filesystem::path& dir, const std::string& runid) {
  std::set<std::pair<std::string, std::string>> freed;
  for (const auto& row : csv_rows(kivtest::read_file(dir / ("kiv." + runid + ".freemem.1.csv"))))
    freed.insert({row[fm_pid], row[fm_rec]});
  expected e;
  std::map<std::string, std::vector<std::string>> last_of_bucket;
  for (const auto& row : csv_rows(kivtest::read_file(dir / ("kiv." + runid + ".memory.1.csv")))) {
    EXPECT_EQ(row.size(), static_cast<std::size_t>(memory_fields));
    const std::string malid = row[f_malid];
    e.peak_malid[malid] = std::max(e.peak_malid[malid], number(row[f_malid_in_use_size]));
    const std::string proc = row[f_process_id];
    e.peak_process[proc] = std::max(e.peak_process[proc], number(row[f_process_in_use_size]));
    last_of_bucket[row[f_rec_k]] = row;
    // Blocks: allocations, and reallocs in place that found their block.
    const bool makes_block = row[f_tag] == "a" || (row[f_tag] == "r" && row[f_other_rec] != "0");
    if (!makes_block || freed.count({row[f_pid], row[f_rec]})) continue;
    ++e.live;
    const long long size = number(row[f_new_size]);
    const long long tot = number(row[f_new_tot_size]);
    for (auto* m : {&e.by_location[row[f_location]], &e.by_malid[malid], &e.by_arc[proc + "/" + row[f_arc]]}) {
      ++m->blocks;
      m->bytes += size;
      m->tot_bytes += tot;
    }
  }
  for (const auto& [bucket, row] : last_of_bucket)
    e.usage[bucket] = number(row[f_global_cur_wf_size]) + number(row[f_global_cur_nf_size]);
  return e;
}

std::map<std::string, sums> sums_of(kivdb::database& db, const std::string& sql) {
  std::map<std::string, sums> out;
  for (const auto& row : db.query(sql).rows)
    out[*row[0]] = {number(*row[1]), number(*row[2]), number(*row[3])};
  return out;
}

std::map<std::string, long long> values_of(kivdb::database& db, const std::string& sql) {
  std::map<std::string, long long> out;
  for (const auto& row : db.query(sql).rows) out[*row[0]] = number(*row[1]);
  return out;
}

void check_views(kivdb::database& db, const expected& e, const std::string& runid) {
  const std::string run = " WHERE run_id = '" + runid + "'";
  EXPECT_EQ(db.query("SELECT COUNT(*) FROM live_blocks" + run).rows.at(0).at(0), std::to_string(e.live));
  EXPECT_EQ(sums_of(db, "SELECT location, blocks, bytes, tot_bytes FROM leaks_by_location" + run), e.by_location);
  EXPECT_EQ(sums_of(db, "SELECT malid, blocks, bytes, tot_bytes FROM leaks_by_malid" + run), e.by_malid);
  EXPECT_EQ(sums_of(db, "SELECT process_id || '/' || arc, blocks, bytes, tot_bytes FROM leaks_by_arc" + run), e.by_arc);
  EXPECT_EQ(values_of(db, "SELECT malid, peak_in_use_size FROM peak_by_malid" + run), e.peak_malid);
  EXPECT_EQ(values_of(db, "SELECT process_id, peak_in_use_size FROM peak_by_process" + run), e.peak_process);
  EXPECT_EQ(values_of(db, "SELECT rec_k, in_use_size FROM usage_over_time" + run), e.usage);
  // Live blocks carry the names the other tables give them.
  const auto named = db.query("SELECT COUNT(*) FROM live_blocks" + run +
                              " AND source IS NOT NULL AND malid_name IS NOT NULL AND callee_function IS NOT NULL");
  EXPECT_NE(named.rows.at(0).at(0), "0");
}

class Views : public kivdb_fixture {
 protected:
  // A run with frees, reallocs and whole-id releases, and a second run
  // beside it in the same database that the answers must leave out.
  void SetUp() override {
    run_ = make_run("v", {"--records", "6000", "--seed", "12"});
    other_ = make_run("w", {"--records", "1500", "--seed", "13", "--leaky"});
  }
  std::filesystem::path run_;
  std::filesystem::path other_;
};

TEST_F(Views, AnswerWhatTheCsvRowsSayInSqlite) {
  const expected e = from_csv(run_, "v");
  ASSERT_GT(e.live, 10);
  ASSERT_GT(e.by_malid.size(), 3u);
  const std::string db = (scratch_.path() / "views.db").string();
  load(run_, {"--db", db});
  load(other_, {"--db", db});
  check_views(*kivdb::open_sqlite(db), e, "v");
  check_views(*kivdb::open_sqlite(db), from_csv(other_, "w"), "w");
}

// SQLite's plan for a query, one step a line.
std::string plan_of(kivdb::database& db, const std::string& sql) {
  std::string out;
  for (const auto& row : db.query("EXPLAIN QUERY PLAN " + sql).rows) out += row.at(3).value_or("") + "\n";
  return out;
}

// The report's pass over a run's "memory" rows in row order must need no
// sorting. Alone in its database a run is read in the table's own order,
// with no run index to build; with other runs beside it, its rows must be
// reached through an index, never by reading the whole table.
TEST_F(Views, ReachARunsMemoryRowsThroughAKeyInSqlite) {
  const std::string db_file = (scratch_.path() / "plans.db").string();
  const std::string in_row_order = "SELECT tag, rec FROM memory WHERE run_id = 'v' ORDER BY row_nr";
  load(run_, {"--db", db_file});
  {
    const auto alone = kivdb::open_sqlite(db_file);
    const auto indexes = alone->query("SELECT name FROM sqlite_master WHERE tbl_name = 'memory' AND type = 'index'");
    EXPECT_TRUE(indexes.rows.empty());
    const std::string plan = plan_of(*alone, in_row_order);
    EXPECT_EQ(plan.find("TEMP B-TREE"), std::string::npos) << plan;
  }
  load(other_, {"--db", db_file});
  const auto db = kivdb::open_sqlite(db_file);
  const std::regex whole_table("SCAN (memory|m)( |\n)");
  for (const char* view : {"live_blocks", "leaks_by_location", "peak_by_malid", "peak_by_process", "usage_over_time"}) {
    const std::string plan = plan_of(*db, "SELECT * FROM " + std::string(view) + " WHERE run_id = 'v'");
    EXPECT_FALSE(std::regex_search(plan, whole_table)) << view << ":\n" << plan;
  }
  const std::string ordered = plan_of(*db, in_row_order);
  EXPECT_FALSE(std::regex_search(ordered, whole_table)) << ordered;
  EXPECT_EQ(ordered.find("TEMP B-TREE"), std::string::npos) << ordered;
}

TEST_F(Views, AnswerWhatTheCsvRowsSayInPostgres) {
  kivtest::pg_cluster* pg = kivtest::pg_cluster::shared();
  if (pg == nullptr) GTEST_SKIP() << kivtest::pg_cluster::skip_reason();
  const std::string conninfo = pg->new_database("views");
  load(run_, {"--pg", conninfo});
  load(other_, {"--pg", conninfo});
  check_views(*kivdb::open_postgres(conninfo), from_csv(run_, "v"), "v");
  check_views(*kivdb::open_postgres(conninfo), from_csv(other_, "w"), "w");
}

}  // namespace
