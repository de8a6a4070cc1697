#include "output/csv_file.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "output/csv_file_sequence.h"
#include "output/output_test_support.h"
#include "output/sql_script.h"

namespace {

using kiv_test::read_file;

TEST(CsvFileSequenceTest, EachTableCountsFromOneOnItsOwn) {
  csv_file_sequence seq("csv");
  // The first request records 1 even when it asks to advance.
  EXPECT_EQ(seq.curr_sequence("memory", true), 1);
  EXPECT_EQ(seq.curr_sequence("memory", false), 1);
  EXPECT_EQ(seq.curr_sequence("memory", true), 2);
  EXPECT_EQ(seq.curr_sequence("sbrk", false), 1);
  EXPECT_EQ(seq.get_sequence("memory", "4711"), "kiv.4711.memory.2.csv");
  EXPECT_EQ(seq.next_sequence("memory", "4712"), "kiv.4712.memory.3.csv");
  EXPECT_EQ(seq.next_sequence("arcs", "4711"), "kiv.4711.arcs.1.csv");
  EXPECT_EQ(seq.get_sequence("arcs", "4711"), "kiv.4711.arcs.1.csv");
  EXPECT_EQ(csv_file_sequence("txt").generate_file_name("flow", "r", 12), "kiv.r.flow.12.txt");
}

class CsvFileTest : public kiv_test::TempDirTest {
 protected:
  void SetUp() override {
    TempDirTest::SetUp();
    script_.set_path(dir(), "4711", 1, true);
  }
  std::string path(const std::string& name) const { return (dir_ / name).string(); }
  std::string announce(const std::string& name, bool first) const {
    return "csv_file: " + path(name) + (first ? " 1\n" : " 0\n");
  }
  std::string import_lines() const {
    const std::string text = file("kiv.4711.sql");
    return text.substr(text.find("\n\n", text.find("SET @Path")) + 2);
  }

  csv_file_sequence seq_{"csv"};
  sql_script script_{"sql"};
};

constexpr const char* row = "4711;123456789\n";  // 15 bytes

TEST_F(CsvFileTest, FirstFileIsCreatedRegisteredAndAnnounced) {
  testing::internal::CaptureStdout();
  csv_file memory(&seq_, &script_, "memory", dir(), "4711", true);
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(out, "csv_file: " + dir() + "/kiv.4711.memory.1.csv 1\n");
  EXPECT_EQ(memory.get_filename(), "kiv.4711.memory.1.csv");
  EXPECT_EQ(import_lines(), "execute Do_Import_Kiv_Csv_File_Memory @Path, '4711', 'memory1', 'memory', '1';\n");

  memory.get_stream() << row;
  memory.close_file();
  EXPECT_EQ(file("kiv.4711.memory.1.csv"), row);
}

TEST_F(CsvFileTest, FullFileContinuesInNextRegisteredFileAndNextConversionAppendsThere) {
  constexpr std::int64_t limit = 50;
  testing::internal::CaptureStdout();
  {
    csv_file memory(&seq_, &script_, "memory", dir(), "4711", true);
    memory.set_max(limit);
    memory.add_check(true);
    std::vector<std::string> names;
    for (int i = 0; i < 5; ++i) {
      memory.get_stream() << row;
      names.push_back(memory.get_filename());
    }
    // The check precedes the row: at 45 bytes a fourth row still goes into file 1.
    const std::string one = "kiv.4711.memory.1.csv";
    EXPECT_EQ(names, (std::vector<std::string>{one, one, one, one, "kiv.4711.memory.2.csv"}));
  }
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            announce("kiv.4711.memory.1.csv", true) + announce("kiv.4711.memory.2.csv", true));
  EXPECT_EQ(file("kiv.4711.memory.1.csv").size(), 60u);
  EXPECT_EQ(file("kiv.4711.memory.2.csv"), row);
  const std::string lines = import_lines();
  EXPECT_NE(lines.find("'memory', '2';\n"), std::string::npos);

  testing::internal::CaptureStdout();
  {
    csv_file memory(&seq_, &script_, "memory", dir(), "4711", false);
    memory.get_stream() << "next\n";
  }
  EXPECT_EQ(testing::internal::GetCapturedStdout(), announce("kiv.4711.memory.2.csv", false));
  EXPECT_EQ(file("kiv.4711.memory.2.csv"), std::string(row) + "next\n");
  EXPECT_EQ(import_lines(), lines);
}

TEST_F(CsvFileTest, NegativeLimitStartsNewFileBeforeEveryRow) {
  {
    csv_file memory(&seq_, &script_, "memory", dir(), "4711", true);
    memory.set_max(100 - 2048);  // what -M 100 gives
    memory.add_check(true);
    for (const char* r : {"a\n", "b\n", "c\n"}) memory.get_stream() << r;
  }
  EXPECT_EQ(file("kiv.4711.memory.1.csv"), "");
  EXPECT_EQ(file("kiv.4711.memory.2.csv"), "a\n");
  EXPECT_EQ(file("kiv.4711.memory.3.csv"), "b\n");
  EXPECT_EQ(file("kiv.4711.memory.4.csv"), "c\n");
  EXPECT_FALSE(std::filesystem::exists(dir_ / "kiv.4711.memory.5.csv"));
  EXPECT_NE(import_lines().find("'memory', '4';\n"), std::string::npos);
}

TEST_F(CsvFileTest, TableWithoutCheckNeverChangesFile) {
  {
    csv_file sbrk(&seq_, &script_, "sbrk", dir(), "4711", true);
    sbrk.set_max(1);
    for (int i = 0; i < 3; ++i) sbrk.get_stream() << row;
  }
  EXPECT_EQ(file("kiv.4711.sbrk.1.csv").size(), 45u);
  EXPECT_FALSE(std::filesystem::exists(dir_ / "kiv.4711.sbrk.2.csv"));
}

TEST_F(CsvFileTest, TableWithoutScriptIsWrittenButNotRegistered) {
  const std::string before = file("kiv.4711.sql");
  {
    csv_file runs(&seq_, nullptr, "runs", dir(), "4711", true);
    runs.get_stream() << row;
  }
  EXPECT_EQ(file("kiv.4711.runs.1.csv"), row);
  EXPECT_EQ(file("kiv.4711.sql"), before);
}

TEST_F(CsvFileTest, FileThatCannotBeOpenedLosesItsRowsOnly) {
  const std::string missing = (dir_ / "missing").string();
  std::filesystem::create_directory(dir_ / "kiv.4711.sbrk.1.csv");
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  {
    csv_file memory(&seq_, &script_, "memory", missing, "4711", true);
    csv_file sbrk(&seq_, &script_, "sbrk", dir(), "4711", true);
    csv_file arena(&seq_, &script_, "arena", dir(), "4711", true);
    for (int i = 0; i < 1000; ++i) {
      memory.get_stream() << row;
      sbrk.get_stream() << row;
      arena.get_stream() << row;
    }
  }
  const std::string err = testing::internal::GetCapturedStderr();
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(err, "kiv: cannot open table file " + missing +
                     "/kiv.4711.memory.1.csv (open: No such file or directory); its rows are lost\n"
                     "kiv: cannot open table file " + path("kiv.4711.sbrk.1.csv") +
                     " (open: Is a directory); its rows are lost\n");
  EXPECT_EQ(out, "csv_file: " + missing + "/kiv.4711.memory.1.csv 1\n" + announce("kiv.4711.sbrk.1.csv", true) +
                     announce("kiv.4711.arena.1.csv", true));
  EXPECT_EQ(file("kiv.4711.arena.1.csv").size(), 15000u);
  const std::string lines = import_lines();
  EXPECT_NE(lines.find("'memory', '1';"), std::string::npos);
  EXPECT_NE(lines.find("'sbrk', '1';"), std::string::npos);
}

}  // namespace
