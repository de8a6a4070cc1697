// Runs that are not whole: a recording killed before it closed its trace
// (written by our writer, and a real program killed with SIGKILL under
// kivrec), and a conversion kiv stopped at a record it could not read. A
// load refuses them unless --allow-cut is given; the report of a run
// loaded so says what is missing, on the terminal and in the JSON, as does
// the report of the directory itself.

#include "kivdb_fixture.h"
#include "writer/trace_session.h"

namespace {

using namespace kivdbtest;
namespace fs = std::filesystem;

class CutRuns : public kivdb_fixture {
 protected:
  fs::path convert(const std::string& runid, int status = 0) {
    const auto kiv = run(KIV_BINARY, {"-R", runid}, scratch_.path().string());
    EXPECT_EQ(kiv.status, status) << kiv.err;
    return scratch_.path() / runid;
  }

  // Refused without --allow-cut, with one line naming what is missing;
  // loaded with it, and its report says so.
  void expect_cut(const fs::path& dir, const std::string& runid, const std::string& finding) {
    const std::string db = (scratch_.path() / (runid + ".db")).string();
    const auto refused = run_kivdb({"load", dir.string(), "--db", db});
    EXPECT_EQ(refused.status, 1);
    EXPECT_EQ(refused.err, "kivdb load: " + (dir / ("kiv." + runid + ".sql")).string() + ": run " + runid +
                               " is cut short (load it anyway with --allow-cut): " + finding + "\n");
    EXPECT_FALSE(fs::exists(db));
    load(dir, {"--db", db}, {"--allow-cut"});
    const std::string json = (scratch_.path() / (runid + ".json")).string();
    const auto report = run_kivdb({"report", "--db", db, "--json", json});
    ASSERT_EQ(report.status, 0) << report.err;
    EXPECT_NE(report.out.find("\n  cut short: " + finding + "\n"), std::string::npos) << report.out;
    EXPECT_NE(kivtest::read_file(json).find("  \"cut_short\": true,\n  \"cut_short_reasons\": [\n    \"" + finding +
                                            "\"\n  ],\n"),
              std::string::npos)
        << kivtest::read_file(json);
    // The directory reports without a load, and says the same.
    const std::string dir_json = (scratch_.path() / (runid + "-dir.json")).string();
    const auto from_files = run_kivdb({"report", dir.string(), "--json", dir_json});
    ASSERT_EQ(from_files.status, 0) << from_files.err;
    EXPECT_EQ(from_files.out, report.out);
    EXPECT_EQ(kivtest::read_file(dir_json), kivtest::read_file(json));
  }
};

constexpr const char* never_closed =
    "header 1 (pid 1234): its trace was never closed (the program was killed?): what it had not written yet is lost";

// The writer's crash(): data flushed, the last data file not listed in the
// header, and no trailer.
TEST_F(CutRuns, TraceNeverClosed) {
  {
    kivw::trace_session s(kivw::deterministic_options(scratch_.path().string(), "c"));
    s.process_start(7, 1234, "main");
    s.schedule(0, 7);
    s.reserve_id(10, 64, 0x4000, "ids.c:1", 1, "general heap");
    for (std::uint64_t i = 0; i < 20; ++i) s.malloc_wf(10, 0, 0x10000 + i * 64, 32, 48, 0x5001, "a.c:1");
    s.switch_file();
    s.malloc_wf(10, 0, 0x90000, 32, 48, 0x5001, "a.c:1");
    s.crash();
  }
  expect_cut(convert("c"), "c", never_closed);
}

// A record kiv cannot frame stops the conversion: the header has no End
// marker and no final tables.
TEST_F(CutRuns, ConversionStoppedAtAnUnreadableRecord) {
  {
    kivw::trace_session s(kivw::deterministic_options(scratch_.path().string(), "s"));
    s.process_start(7, 1234, "main");
    s.schedule(0, 7);
    for (std::uint64_t i = 0; i < 5; ++i) s.malloc_wf(10, 0, 0x10000 + i * 64, 32, 48, 0x5001, "a.c:1");
    s.raw_record('~', "x");
    s.close();
  }
  expect_cut(convert("s", 1), "s",
             "header 1 (pid 1234): it has no End marker: kiv stopped reading it, or the marker table is cut");
}

// A "process" table cut at a row end: its other tables are whole, but a
// process the markers show started has no row, and the report would count
// one process less without a word.
TEST_F(CutRuns, ProcessTableCutAtARowEnd) {
  {
    kivw::trace_session s(kivw::deterministic_options(scratch_.path().string(), "p"));
    for (std::uint32_t process : {7u, 8u}) {
      s.process_start(process, 1234, "main");
      s.schedule(0, process);
      s.malloc_wf(10, 0, 0x10000 + process * 64, 32, 48, 0x5001, "a.c:1");
    }
    s.close();
  }
  const fs::path dir = convert("p");
  const fs::path process_table = dir / "kiv.p.process.1.csv";
  const std::string rows = kivtest::read_file(process_table);
  ASSERT_EQ(csv_rows(rows).size(), 3u) << rows;  // the default process, 7 and 8
  const std::size_t last_row = rows.rfind('\n', rows.size() - 2) + 1;
  const std::string cut_process = csv_rows(rows.substr(last_row)).at(0).at(2);
  kivtest::write_file(process_table, rows.substr(0, last_row));
  expect_cut(dir, "p", "header 1 (pid 1234): process " + cut_process +
                           " was started, but the process table has no row of it: a table file is cut");
}

// A program killed with SIGKILL under kivrec: its last data file is lost.
TEST_F(CutRuns, RecordingKilledWithSigkill) {
  kivtest::write_file(scratch_.path() / "killed.c",
                      "#include <signal.h>\n#include <stdlib.h>\n"
                      "int main(void) {\n"
                      "  for (int i = 0; i < 20000; ++i) { char* p = malloc(100); if (i % 3) free(p); }\n"
                      "  raise(SIGKILL);\n  return 0;\n}\n");
  const fs::path program = scratch_.path() / "killed";
  const auto cc = run("/usr/bin/gcc", {"-o", program.string(), (scratch_.path() / "killed.c").string()});
  ASSERT_EQ(cc.status, 0) << cc.err;
  const auto rec = run(KIVREC_BINARY, {"--dir", scratch_.path().string(), "--runid", "k", "--quiet", "--size", "64",
                                       "--", program.string()});
  EXPECT_NE(rec.status, 0);
  const fs::path dir = convert("k");
  const std::string pid = csv_rows(kivtest::read_file(dir / "kiv.k.runs.1.csv")).at(0).at(1);
  expect_cut(dir, "k",
             "header 1 (pid " + pid + "): its trace was never closed (the program was killed?): what it had not "
             "written yet is lost");
}

}  // namespace
