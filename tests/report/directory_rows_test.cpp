// The report of a converted directory read straight from its table files:
// other separators, rows parsed on several threads in chunks and handed on
// in file order, and bad rows reported with their file and line wherever
// they are in the file.

#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "db/database.h"
#include "db/load_error.h"
#include "report/directory_rows.h"
#include "report/renderers.h"
#include "report/report_builder.h"
#include "support/run_program.h"
#include "support/scratch_dir.h"

namespace kivdb::report {
namespace {

namespace fs = std::filesystem;

constexpr std::size_t every_entry = 1000000;

class DirectoryRows : public ::testing::Test {
 protected:
  // A kivgen run converted with the given kiv options: its memory file
  // holds several chunks of rows.
  fs::path convert(const std::string& runid, const std::vector<std::string>& kiv_args) {
    const auto gen = kivtest::run_program(
        KIVGEN_BINARY, {{"--dir", dir_.path().string(), "--runid", runid, "--records", "9000", "--seed", "31"}, "", {}});
    EXPECT_EQ(gen.status, 0) << gen.err;
    std::vector<std::string> args = {"-R", runid};
    args.insert(args.end(), kiv_args.begin(), kiv_args.end());
    const auto kiv = kivtest::run_program(KIV_BINARY, {args, dir_.path().string(), {}});
    EXPECT_EQ(kiv.status, 0) << kiv.err;
    return dir_.path() / runid;
  }

  std::string json_of(const report_data& data) {
    std::ostringstream out;
    write_json(out, data, every_entry);
    return out.str();
  }

  // The directory's report and the report of the database loaded from it.
  void expect_same_as_loaded(const fs::path& run, const std::vector<std::string>& separators,
                             const directory_options& options) {
    const std::string db = (dir_.path() / (run.filename().string() + ".db")).string();
    std::vector<std::string> args = {"load", run.string(), "--db", db};
    args.insert(args.end(), separators.begin(), separators.end());
    const auto load = kivtest::run_program(KIVDB_BINARY, {args, "", {}});
    ASSERT_EQ(load.status, 0) << load.err;
    const auto from_files = build_report(*directory_rows(run, options));
    EXPECT_GT(from_files.summary.memory_records, 5000u);
    EXPECT_EQ(json_of(from_files), json_of(build_report(*open_sqlite(db), run.filename().string())));
  }

  kivtest::scratch_dir dir_{"kiv_directory_rows"};
};

TEST_F(DirectoryRows, OtherSeparatorsGiveTheLoadedRunsReport) {
  expect_same_as_loaded(convert("comma", {"-sd", ","}), {"-sd", ","}, {',', ';'});
  expect_same_as_loaded(convert("joined", {"-sd", ",", "-sf", "|"}), {"-sd", ",", "-sf", "|"}, {',', '|'});
}

// A row spoilt deep in the file is reported at its line, counted over the
// chunks before it; nothing is reported but that one line.
TEST_F(DirectoryRows, BadRowIsReportedWithItsLineAcrossChunks) {
  const fs::path run = convert("bad", {});
  const fs::path memory = run / "kiv.bad.memory.1.csv";
  std::string text = kivtest::read_file(memory);
  constexpr int spoilt_line = 4321;
  std::size_t at = 0;
  for (int i = 1; i < spoilt_line; ++i) at = text.find('\n', at) + 1;
  // The fifth field (rec) gets a letter in front.
  for (int field = 0; field < 4; ++field) at = text.find(';', at) + 1;
  text.insert(at, "x");
  kivtest::write_file(memory, text);
  try {
    build_report(*directory_rows(run));
    FAIL() << "the spoilt row was not found";
  } catch (const load_error& e) {
    EXPECT_EQ(e.file(), memory.string());
    EXPECT_EQ(e.line(), static_cast<std::uint64_t>(spoilt_line));
    EXPECT_NE(std::string(e.what()).find("field 5 (rec) is not a number: 'x"), std::string::npos) << e.what();
  }
  const auto report = kivtest::run_program(KIVDB_BINARY, {{"report", run.string()}, "", {}});
  EXPECT_EQ(report.status, 1);
  EXPECT_EQ(report.out, "");
  EXPECT_TRUE(report.err.starts_with("kivdb report: " + memory.string() + ":4321: field 5 (rec) is not a number"))
      << report.err;
}

}  // namespace
}  // namespace kivdb::report
