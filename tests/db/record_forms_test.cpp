// Records kivgen's runs do not hold, written by hand: SQL texts spanning
// lines with separators inside, a process without symbols in "flowdata",
// the extremes of signed and unsigned numbers. They load whole and come
// back byte for byte.

#include "db/schema.h"
#include "kivdb_fixture.h"

namespace {

using namespace kivdbtest;

// An import script naming one file of every table, as kiv's first
// conversion registers them.
std::string script_for(const std::string& runid) {
  std::string s = "USE KIV\nDECLARE @RUNID varchar(10)\nDECLARE @Path varchar(100)\n\nSET @RUNID = '" + runid +
                  "'\nSET @Path = '$(ScriptDir)\\'\n\n";
  for (const kivdb::table_def& t : kivdb::kiv_tables()) {
    const bool memory = t.name == "memory";
    s += std::string("execute Do_Import_Kiv_Csv_File") + (memory ? "_Memory" : "") + " @Path, '" + runid + "', '" +
         t.name + "1', '" + t.name + "', '1'" + (t.form != kivdb::record_form::line ? ", '<<>>'" : "") + ";\n";
  }
  return s;
}

class RecordForms : public kivdb_fixture {};

TEST_F(RecordForms, MultiLineTextsEmptyRecordsAndExtremeNumbersRoundTrip) {
  const auto dir = scratch_.path() / "hand";
  std::filesystem::create_directories(dir);
  kivtest::write_file(dir / "kiv.h.sql", script_for("h"));
  for (const kivdb::table_def& t : kivdb::kiv_tables()) kivtest::write_file(dir / ("kiv.h." + t.name + ".1.csv"), "");
  const std::string queries =
      "h;1;1001;1;1;2026-01-01 00:00:00.000;;2026-01-01 00:00:01.000;select a;b\nfrom t\n  where x = ';'<<>>\n"
      "h;1;1001;2;1;t0;t1;t2;<<>>\n";
  const std::string flowdata =
      "<<>>\nh;1;1001;7;0;18446744073709551615;2;dyn :combined v;1\narg :long p:2\n<<>>\n<<>>\n";
  const std::string freemem = "h;-2147483648;18446744073709551615;9223372036854775808;f\nh;0;0;0;Z\n";
  const std::string symbols = "h;1;1001;7;0;-9223372036854775808;5;dyn ;2050;char v_1; v_2 \n";
  // pid is signed 32-bit, malid and colour unsigned 32-bit: INTEGER columns.
  const std::string color = "h;-2147483648;4294967295;2147483648;top\nh;2147483647;2147483647;0;low\n";
  kivtest::write_file(dir / "kiv.h.color.1.csv", color);
  kivtest::write_file(dir / "kiv.h.queries.1.csv", queries);
  kivtest::write_file(dir / "kiv.h.flowdata.1.csv", flowdata);
  kivtest::write_file(dir / "kiv.h.freemem.1.csv", freemem);
  kivtest::write_file(dir / "kiv.h.symbols.1.csv", symbols);

  const std::string db = (scratch_.path() / "hand.db").string();
  load(dir, {"--db", db});
  expect_round_trip(dir, "h", {"--db", db}, "out");

  auto sqlite = kivdb::open_sqlite(db);
  const auto sql = sqlite->query("SELECT sql_text, begin_time FROM queries ORDER BY row_nr").rows;
  ASSERT_EQ(sql.size(), 2u);
  EXPECT_EQ(sql[0][0], "select a;b\nfrom t\n  where x = ';'");
  EXPECT_EQ(sql[0][1], "");
  EXPECT_EQ(sql[1][0], "");
  const auto flow = sqlite->query("SELECT process_id, step_bytes FROM flowdata ORDER BY row_nr").rows;
  ASSERT_EQ(flow.size(), 3u);
  EXPECT_EQ(flow[0][0], std::nullopt);
  EXPECT_EQ(flow[1][1], "-1");  // 2^64 - 1 as its two's complement
  const auto entries = sqlite->query("SELECT kind, declaration FROM flowdata_symbols ORDER BY entry_nr").rows;
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[1][0], "arg ");
  EXPECT_EQ(entries[1][1], "long p:2");
  const auto nums = sqlite->query("SELECT pid, rec, freed_by FROM freemem ORDER BY row_nr").rows;
  EXPECT_EQ(nums[0][0], "-2147483648");
  EXPECT_EQ(nums[0][2], "-9223372036854775808");
  EXPECT_EQ(sqlite->query("SELECT declaration FROM symbols").rows.at(0).at(0), "char v_1; v_2 ");
  const auto colors = sqlite->query("SELECT pid, malid, color FROM color ORDER BY row_nr").rows;
  ASSERT_EQ(colors.size(), 2u);
  EXPECT_EQ(colors[0], (std::vector<std::optional<std::string>>{"-2147483648", "-1", "-2147483648"}));
  EXPECT_EQ(colors[1], (std::vector<std::optional<std::string>>{"2147483647", "2147483647", "0"}));

  // PostgreSQL receives 4-byte INTEGERs and 8-byte BIGINTs in binary.
  kivtest::pg_cluster* pg = kivtest::pg_cluster::shared();
  if (pg == nullptr) GTEST_SKIP() << kivtest::pg_cluster::skip_reason();
  const std::string conninfo = pg->new_database("hand_written");
  load(dir, {"--pg", conninfo});
  expect_round_trip(dir, "h", {"--pg", conninfo}, "pg_out");
  auto postgres = kivdb::open_postgres(conninfo);
  EXPECT_EQ(postgres->query("SELECT pid, malid, color FROM color ORDER BY row_nr").rows, sqlite->query(
      "SELECT pid, malid, color FROM color ORDER BY row_nr").rows);

  // A database whose tables an earlier kivdb made, with every number a
  // BIGINT: the rows are sent as its columns hold them.
  const std::string earlier = pg->new_database("hand_written_bigint");
  auto old_layout = kivdb::open_postgres(earlier);
  for (std::string sql : kivdb::schema_sql(kivdb::engine_kind::postgresql)) {
    for (std::size_t at = sql.find(" INTEGER"); at != std::string::npos; at = sql.find(" INTEGER", at))
      sql.replace(at, std::string_view(" INTEGER").size(), " BIGINT");
    old_layout->exec(sql);
  }
  load(dir, {"--pg", earlier});
  expect_round_trip(dir, "h", {"--pg", earlier}, "pg_bigint_out");
  EXPECT_EQ(old_layout->query("SELECT data_type FROM information_schema.columns WHERE table_name = 'color' "
                              "AND column_name = 'malid'").rows.at(0).at(0),
            "bigint");
}

// A text larger than the chunks in which rows are sent to PostgreSQL, with
// the bytes that COPY escapes in it, comes back whole from both engines.
TEST_F(RecordForms, ATextLargerThanASendChunkRoundTripsInBothEngines) {
  const auto dir = scratch_.path() / "long";
  std::filesystem::create_directories(dir);
  kivtest::write_file(dir / "kiv.h.sql", script_for("h"));
  for (const kivdb::table_def& t : kivdb::kiv_tables()) kivtest::write_file(dir / ("kiv.h." + t.name + ".1.csv"), "");
  constexpr std::size_t text_bytes = 3 << 20;
  std::string sql_text;
  while (sql_text.size() < text_bytes) sql_text += "select '\\x'\t;\r\n";
  kivtest::write_file(dir / "kiv.h.queries.1.csv",
                      "h;1;1001;1;1;t0;t1;t2;" + sql_text + "<<>>\nh;1;1001;2;1;t0;t1;t2;x<<>>\n");

  load(dir, {"--db", (scratch_.path() / "long.db").string()});
  expect_round_trip(dir, "h", {"--db", (scratch_.path() / "long.db").string()}, "out");
  kivtest::pg_cluster* pg = kivtest::pg_cluster::shared();
  if (pg == nullptr) GTEST_SKIP() << kivtest::pg_cluster::skip_reason();
  const std::string conninfo = pg->new_database("long_text");
  load(dir, {"--pg", conninfo});
  expect_round_trip(dir, "h", {"--pg", conninfo}, "pg_out");
}

TEST_F(RecordForms, NumbersThatWouldNotComeBackAsWrittenAreRefused) {
  const auto dir = scratch_.path() / "hand";
  std::filesystem::create_directories(dir);
  kivtest::write_file(dir / "kiv.h.sql", script_for("h"));
  for (const kivdb::table_def& t : kivdb::kiv_tables()) kivtest::write_file(dir / ("kiv.h." + t.name + ".1.csv"), "");
  for (const std::string bad : {"007", "-0", "+7", "18446744073709551616", " 7", ""}) {
    kivtest::write_file(dir / "kiv.h.freemem.1.csv", "h;1;" + bad + ";0;f\n");
    const auto r = run_kivdb({"load", dir.string(), "--db", (scratch_.path() / "refused.db").string()});
    EXPECT_EQ(r.status, 1) << "'" << bad << "'";
    EXPECT_NE(r.err.find("field 3 (rec) is not a number"), std::string::npos) << r.err;
  }
  kivtest::write_file(dir / "kiv.h.freemem.1.csv", "h;9223372036854775808;0;0;f\n");
  EXPECT_NE(run_kivdb({"load", dir.string()}).err.find("field 2 (pid) is not a 32-bit number"), std::string::npos);
  kivtest::write_file(dir / "kiv.h.freemem.1.csv", "");
  for (const std::string bad : {"2147483648", "-2147483649"}) {
    kivtest::write_file(dir / "kiv.h.color.1.csv", "h;" + bad + ";1;0;c\n");
    EXPECT_NE(run_kivdb({"load", dir.string()}).err.find("field 2 (pid) is not a 32-bit number"), std::string::npos)
        << bad;
  }
  for (const std::string bad : {"4294967296", "-1"}) {
    kivtest::write_file(dir / "kiv.h.color.1.csv", "h;1;" + bad + ";0;c\n");
    EXPECT_NE(run_kivdb({"load", dir.string()}).err.find("field 3 (malid) is not an unsigned 32-bit number"),
              std::string::npos)
        << bad;
  }
}

}  // namespace
