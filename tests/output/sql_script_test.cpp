#include "output/sql_script.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <string>

#include "output/csv_file.h"
#include "output/csv_file_sequence.h"
#include "output/output_test_support.h"

namespace {

using kiv_test::read_file;

// One conversion as the reader and the dumps drive the output classes: the
// script is set up, the ten reader tables open in their fixed order (the
// three size-limited ones with the given limit), and the dumps create their
// tables one after the other.
class conversion {
 public:
  conversion(csv_file_sequence& seq, sql_script& script, std::string dir, std::string runid, int version,
             bool first, std::int64_t max = csv_file::default_max)
      : seq_(seq), script_(script), dir_(std::move(dir)), runid_(std::move(runid)), first_(first) {
    script_.set_path(dir_, runid_, version, first_);
    for (const char* name :
         {"memory", "sbrk", "queryevents", "marker", "freemem", "arena", "arcs", "symbols", "flowdata", "flow"}) {
      tables_[name] = std::make_unique<csv_file>(&seq_, &script_, name, dir_, runid_, first_);
    }
    for (const char* limited : {"memory", "queryevents", "freemem"}) {
      tables_[limited]->set_max(max);
      tables_[limited]->add_check(true);
    }
  }

  void rows(const std::string& table, int count) {
    for (int i = 0; i < count; ++i) tables_.at(table)->get_stream() << runid_ << ";123456789\n";
  }

  void dumps() {
    for (const char* name : {"process", "hashloc", "malid", "color", "queries", "runs", "objects", "functions"}) {
      csv_file table(&seq_, &script_, name, dir_, runid_, first_);
      table.get_stream() << runid_ << ';' << name << '\n';
    }
  }

 private:
  csv_file_sequence& seq_;
  sql_script& script_;
  std::string dir_;
  std::string runid_;
  bool first_;
  std::map<std::string, std::unique_ptr<csv_file>> tables_;
};

constexpr const char* script_head = R"sql(USE KIV
DECLARE @RUNID varchar(10)
DECLARE @Path varchar(100)

SET @RUNID = '4711'
SET @Path = '$(ScriptDir)\'

)sql";

class SqlScriptTest : public kiv_test::TempDirTest {
 protected:
  void SetUp() override {
    TempDirTest::SetUp();
    testing::internal::CaptureStdout();  // the "csv_file: " announcements
  }
  void TearDown() override {
    testing::internal::GetCapturedStdout();
    TempDirTest::TearDown();
  }
  csv_file_sequence seq_{"csv"};
  sql_script script_{"sql"};
};

// Rows are 15 bytes; a limit of 100 keeps the first conversion's three rows
// in file 1, and the second conversion, appending from byte 45, fills it to
// 105 bytes before the next row starts file 2.
TEST_F(SqlScriptTest, TwoHeadersOfOneRunShareTablesAndRegisterEachFileOnce) {
  {
    conversion first(seq_, script_, dir(), "4711", 1, true, 100);
    first.rows("memory", 3);
    first.rows("sbrk", 1);
    first.dumps();
  }
  {
    conversion second(seq_, script_, dir(), "4711", 1, false, 100);
    second.rows("memory", 6);
    second.rows("sbrk", 1);
    second.dumps();
  }
  EXPECT_EQ(file("kiv.4711.sql"), std::string(script_head) + R"sql(execute Do_Import_Kiv_Csv_File_Memory @Path, '4711', 'memory1', 'memory', '1';
execute Do_Import_Kiv_Csv_File @Path, '4711', 'sbrk1', 'sbrk', '1';
execute Do_Import_Kiv_Csv_File @Path, '4711', 'queryevents1', 'queryevents', '1';
execute Do_Import_Kiv_Csv_File @Path, '4711', 'marker1', 'marker', '1';
execute Do_Import_Kiv_Csv_File @Path, '4711', 'freemem1', 'freemem', '1';
execute Do_Import_Kiv_Csv_File @Path, '4711', 'arena1', 'arena', '1';
execute Do_Import_Kiv_Csv_File @Path, '4711', 'arcs1', 'arcs', '1';
execute Do_Import_Kiv_Csv_File @Path, '4711', 'symbols1', 'symbols', '1';
execute Do_Import_Kiv_Csv_File @Path, '4711', 'flowdata1', 'flowdata', '1', '<<>>';
execute Do_Import_Kiv_Csv_File @Path, '4711', 'flow1', 'flow', '1';
execute Do_Import_Kiv_Csv_File @Path, '4711', 'process1', 'process', '1';
execute Do_Import_Kiv_Csv_File @Path, '4711', 'hashloc1', 'hashloc', '1';
execute Do_Import_Kiv_Csv_File @Path, '4711', 'malid1', 'malid', '1';
execute Do_Import_Kiv_Csv_File @Path, '4711', 'color1', 'color', '1';
execute Do_Import_Kiv_Csv_File @Path, '4711', 'queries1', 'queries', '1', '<<>>';
execute Do_Import_Kiv_Csv_File @Path, '4711', 'runs1', 'runs', '1';
execute Do_Import_Kiv_Csv_File @Path, '4711', 'objects1', 'objects', '1';
execute Do_Import_Kiv_Csv_File @Path, '4711', 'functions1', 'functions', '1';
execute Do_Import_Kiv_Csv_File_Memory @Path, '4711', 'memory1', 'memory', '2';
)sql");
  EXPECT_EQ(file("kiv.4711.memory.1.csv").size(), 105u);
  EXPECT_EQ(file("kiv.4711.memory.2.csv"), "4711;123456789\n4711;123456789\n");
  EXPECT_EQ(file("kiv.4711.sbrk.1.csv"), "4711;123456789\n4711;123456789\n");
  EXPECT_EQ(file("kiv.4711.queries.1.csv"), "4711;queries\n4711;queries\n");
}

TEST_F(SqlScriptTest, SecondRunIdIsAppendedUnderCurrentNumbersWithoutRegistration) {
  {
    conversion first(seq_, script_, dir(), "4711", 1, true, 20);
    first.rows("memory", 3);  // the third row starts memory file 2
    first.dumps();
  }
  const std::string registered = file("kiv.4711.sql");
  {
    conversion second(seq_, script_, dir(), "4712", 0, false, 20);
    second.rows("sbrk", 1);
    second.dumps();
    second.rows("memory", 2);
  }
  EXPECT_EQ(file("kiv.4712.memory.2.csv"), "4712;123456789\n4712;123456789\n");
  EXPECT_EQ(file("kiv.4712.sbrk.1.csv"), "4712;123456789\n");
  EXPECT_EQ(file("kiv.4712.runs.1.csv"), "4712;runs\n");
  EXPECT_EQ(file("kiv.4711.sql"), registered);

  // A file started by the limit is registered under the run id and version
  // of the conversion in progress.
  {
    conversion second(seq_, script_, dir(), "4712", 0, false, 20);
    second.rows("memory", 1);
  }
  EXPECT_EQ(file("kiv.4711.sql"),
            registered + "execute Do_Import_Kiv_Csv_File_Memory @Path, '4712', 'memory0', 'memory', '3';\n");
  EXPECT_EQ(file("kiv.4712.memory.3.csv"), "4712;123456789\n");
}

// A conversion that the driver rejects after the reader was built leaves its
// tables created, empty and registered with the header's version.
TEST_F(SqlScriptTest, HeaderVersionEndsTheLayoutArgument) {
  { conversion rejected(seq_, script_, dir(), "4711", 2, true); }
  const std::string text = file("kiv.4711.sql");
  EXPECT_EQ(text.substr(0, std::string(script_head).size()), script_head);
  EXPECT_NE(text.find("execute Do_Import_Kiv_Csv_File_Memory @Path, '4711', 'memory2', 'memory', '1';\n"),
            std::string::npos);
  EXPECT_NE(text.find("execute Do_Import_Kiv_Csv_File @Path, '4711', 'flowdata2', 'flowdata', '1', '<<>>';\n"),
            std::string::npos);
  EXPECT_TRUE(text.ends_with("execute Do_Import_Kiv_Csv_File @Path, '4711', 'flow2', 'flow', '1';\n"));
  EXPECT_TRUE(std::filesystem::is_regular_file(dir_ / "kiv.4711.arcs.1.csv"));
  EXPECT_EQ(file("kiv.4711.arcs.1.csv"), "");

  csv_file_sequence seq("csv");
  sql_script unversioned("sql");
  unversioned.set_path(dir(), "4713", 0, true);
  { csv_file objects(&seq, &unversioned, "objects", dir(), "4713", true); }
  EXPECT_TRUE(file("kiv.4713.sql").ends_with("execute Do_Import_Kiv_Csv_File @Path, '4713', 'objects0', 'objects', '1';\n"));
}

TEST_F(SqlScriptTest, NewSequenceAndScriptStartAgainAtOne) {
  const auto traces = dir_ / "traces";
  const auto cwd = dir_ / "cwd";
  std::filesystem::create_directories(traces);
  std::filesystem::create_directories(cwd);
  {
    conversion run(seq_, script_, traces.string(), "4711", 1, true, 20);
    run.rows("memory", 3);
  }
  const std::string directory_script = read_file(traces / "kiv.4711.sql");
  std::filesystem::copy_file(traces / "kiv.4711.sql", cwd / "kiv.4711.sql");  // to be truncated

  csv_file_sequence seq("csv");
  sql_script script("sql");
  {
    conversion single(seq, script, cwd.string(), "4711", 1, true, 20);
    single.rows("memory", 1);
  }
  EXPECT_EQ(read_file(cwd / "kiv.4711.memory.1.csv"), "4711;123456789\n");
  EXPECT_FALSE(std::filesystem::exists(cwd / "kiv.4711.memory.2.csv"));
  const std::string single_script = read_file(cwd / "kiv.4711.sql");
  EXPECT_EQ(single_script.find(script_head), 0u);
  EXPECT_EQ(single_script.find("'memory', '2'"), std::string::npos);
  EXPECT_NE(single_script.find("'memory', '1'"), std::string::npos);
  EXPECT_EQ(read_file(traces / "kiv.4711.sql"), directory_script);
}

TEST_F(SqlScriptTest, ScriptThatCannotBeCreatedDoesNotStopTheConversion) {
  const std::string missing = (dir_ / "missing").string();
  testing::internal::CaptureStderr();
  script_.set_path(missing, "4711", 1, true);
  {
    csv_file memory(&seq_, &script_, "memory", dir(), "4711", true);
    memory.get_stream() << "row\n";
  }
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "kiv: cannot create SQL script " + missing +
                "/kiv.4711.sql (open: No such file or directory); its import lines are lost\n");
  EXPECT_EQ(file("kiv.4711.memory.1.csv"), "row\n");
  EXPECT_FALSE(std::filesystem::exists(dir_ / "missing"));
}

}  // namespace
