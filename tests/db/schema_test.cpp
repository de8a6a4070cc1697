// The declared schema against kiv's tables and both engines.

#include <gtest/gtest.h>

#include <map>
#include <set>

#include "db/database.h"
#include "db/schema.h"
#include "db/views.h"
#include "support/pg_cluster.h"
#include "support/scratch_dir.h"

namespace {

using namespace kivdb;

TEST(Schema, DeclaresKivsEighteenTablesWithTheirFieldCounts) {
  // Fields per CSV row as kiv writes them with the default separators
  // (labels included); "queries" and "flowdata" count their leading fields.
  const std::vector<std::pair<std::string, std::size_t>> expected = {
      {"memory", 94}, {"sbrk", 25},    {"queryevents", 23}, {"marker", 9},   {"freemem", 5},  {"arena", 20},
      {"arcs", 12},   {"symbols", 10}, {"flowdata", 7},     {"flow", 8},     {"process", 11}, {"hashloc", 4},
      {"malid", 13},  {"color", 5},    {"queries", 9},      {"runs", 13},    {"objects", 4},  {"functions", 6}};
  ASSERT_EQ(kiv_tables().size(), expected.size());
  for (std::size_t i = 0; i < expected.size(); ++i) {
    const table_def& t = kiv_tables()[i];
    EXPECT_EQ(t.name, expected[i].first);
    EXPECT_EQ(t.columns.size(), expected[i].second) << t.name;
    EXPECT_EQ(t.columns.front().name, "run_id") << t.name;
    std::set<std::string> names;
    for (const column* c : t.stored()) EXPECT_TRUE(names.insert(c->name).second) << t.name << "." << c->name;
  }
  EXPECT_EQ(find_table("memory")->stored_count(), 87u);
  EXPECT_EQ(find_table("nothing"), nullptr);
}

// The column definitions of a CREATE TABLE statement, in order.
std::vector<std::string> column_defs(const std::string& create) {
  std::vector<std::string> out;
  std::size_t at = create.find('(') + 1;
  while (at < create.size()) {
    std::size_t end = create.find(", ", at);
    if (end == std::string::npos) end = create.size() - 1;
    out.push_back(create.substr(at, end - at));
    at = end + 2;
  }
  return out;
}

// Same-named columns are joined across tables, so their types must agree;
// PostgreSQL gets 8-byte numbers, 4-byte numbers and texts in that order
// and SQLite the CSV order with row_nr last.
TEST(Schema, ColumnTypesAgreeAcrossTablesAndPostgresRowsHaveNoAlignmentGaps) {
  std::map<std::string, col_type> type_of;
  for (const table_def& t : kiv_tables())
    for (const column* c : t.stored()) {
      const auto [it, fresh] = type_of.try_emplace(c->name, c->type);
      EXPECT_TRUE(fresh || sql_type(c->type, engine_kind::postgresql) == sql_type(it->second, engine_kind::postgresql))
          << t.name << "." << c->name;
    }
  const std::vector<std::string> pg = schema_sql(engine_kind::postgresql);
  const std::vector<std::string> lite = schema_sql(engine_kind::sqlite);
  for (std::size_t i = 0; i < kiv_tables().size(); ++i) {
    const table_def& t = kiv_tables()[i];
    const auto pg_defs = column_defs(pg[i]);
    ASSERT_EQ(pg_defs.size(), t.row_width()) << pg[i];
    auto rank = [](const std::string& def) { return def.ends_with("BIGINT") ? 0 : def.ends_with("INTEGER") ? 1 : 2; };
    for (std::size_t c = 1; c < pg_defs.size(); ++c) EXPECT_LE(rank(pg_defs[c - 1]), rank(pg_defs[c])) << pg[i];
    const auto lite_defs = column_defs(lite[i]);
    const auto stored = t.stored();
    for (std::size_t c = 0; c < stored.size(); ++c) EXPECT_TRUE(lite_defs.at(c).starts_with("\"" + stored[c]->name + "\""));
    EXPECT_TRUE(lite_defs.back().starts_with("row_nr")) << lite[i];
    if (t.per_image) {
      EXPECT_TRUE(lite_defs.at(stored.size()).starts_with("\"image\" INTEGER")) << lite[i];
    }
  }
  EXPECT_NE(pg[0].find("\"pid\" INTEGER"), std::string::npos);
  EXPECT_NE(pg[0].find("\"process_c_recs\" INTEGER"), std::string::npos);
  EXPECT_NE(pg[0].find("\"process_m_recs\" BIGINT"), std::string::npos);
}

TEST(Schema, ReadmeListsTheDeclaredColumnsAndViews) {
  const std::string readme = kivtest::read_file(std::string(KIV_SOURCE_DIR) + "/README.md");
  EXPECT_NE(readme.find(schema_markdown()), std::string::npos) << "README: paste `kivdb schema --markdown`";
  EXPECT_NE(readme.find(views_markdown()), std::string::npos) << "README: paste `kivdb schema --markdown`";
}

// Creates the schema twice (the second time finds it) and stores and reads
// back the extremes of every column type.
void check_engine(database& db) {
  db.create_schema();
  db.create_schema();
  db.begin();
  const table_def& t = *find_table("freemem");
  auto sink = db.bulk_insert(t);
  const std::vector<field> row = {{"r1"},          {"-7", -7}, {"18446744073709551615", -1}, {"1", 1},
                                  {"tab\there\\"}, {"", 3},   {"", 0}};
  sink->add(row);
  sink->finish();
  db.commit();
  const result r = db.query("SELECT run_id, pid, rec, freed_by, tag, row_nr, image FROM freemem WHERE run_id = ?",
                            std::vector<std::optional<std::string>>{"r1"});
  ASSERT_EQ(r.rows.size(), 1u);
  EXPECT_EQ(r.rows[0][1], "-7");
  EXPECT_EQ(r.rows[0][2], "-1");
  EXPECT_EQ(r.rows[0][4], "tab\there\\");
  EXPECT_EQ(r.columns.at(5), "row_nr");
  EXPECT_EQ(r.rows[0][6], "3");
  EXPECT_THROW(db.exec("SELECT nothing FROM nowhere"), db_error);
}

TEST(Schema, SqliteStoresEveryColumnType) {
  kivtest::scratch_dir dir("kivdb_schema");
  auto db = open_sqlite(dir / "s.db");
  EXPECT_EQ(db->engine_name(), "sqlite");
  check_engine(*db);
}

TEST(Schema, PostgresStoresEveryColumnType) {
  kivtest::pg_cluster* pg = kivtest::pg_cluster::shared();
  if (pg == nullptr) GTEST_SKIP() << kivtest::pg_cluster::skip_reason();
  auto db = open_postgres(pg->new_database("schema_types"));
  EXPECT_EQ(db->engine_name(), "postgresql");
  check_engine(*db);
}

}  // namespace
