#include <dirent.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "kiv_run.h"
#include "support/scratch_dir.h"

namespace {

namespace fs = std::filesystem;

std::vector<std::string> system_order(const fs::path& dir) {
  std::vector<std::string> names;
  DIR* d = ::opendir(dir.c_str());
  while (const dirent* e = ::readdir(d)) names.emplace_back(e->d_name);
  ::closedir(d);
  return names;
}

class DirectoryRun : public ::testing::Test {
 protected:
  kivtest::scratch_dir cwd_{"kiv_dirrun"};
  fs::path traces_ = cwd_.path() / "traces";
  void SetUp() override { fs::create_directory(traces_); }
  void write(const std::string& name, const std::string& text) { kivtest::write_file(traces_ / name, text); }
};

// Only regular files (links followed) whose names contain "kivhdr" are
// converted, in the order the directory lists them.
TEST_F(DirectoryRun, SelectsHeaderFilesInDirectoryOrder) {
  write("prog.77.kivhdr", header_text(1, "bin"));
  write("prog.77.000.kivdat", std::string("\x01\x02\x03", 3));
  write("notes.txt", "unrelated\n");
  write("run.78kivhdr", header_text(1, "asc"));
  write("new.79.kivhdr", header_text(2, "bin"));
  write("prog.kivhdr.bak", header_text(1, "bin"));
  fs::create_directory(traces_ / "sub.kivhdr");
  fs::create_symlink("prog.77.kivhdr", traces_ / "link.kivhdr");
  fs::create_symlink("nowhere.kivhdr", traces_ / "dangling.kivhdr");

  const std::map<std::string, std::string> converted{
      {"prog.77.kivhdr", ""},
      {"link.kivhdr", ""},
      {"prog.kivhdr.bak", ""},
      {"run.78kivhdr", ">>Processing failed...\n"},
      {"new.79.kivhdr", "header version \" 2 not supported \n"},
  };
  std::string expected;
  std::string expected_err;
  for (const std::string& name : system_order(traces_)) {
    const auto it = converted.find(name);
    if (it == converted.end()) continue;
    expected += "Processing: " + name + "\n" + it->second;
    // The headers list no data file, so each conversion that runs says so.
    if (it->second.empty()) expected_err += "cannot open file: the header traces/" + name + " lists no data file\n";
  }
  const kivtest::program_result r = kiv({"-R", "traces"}, cwd_.path().string());
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, expected);
  EXPECT_EQ(r.err, expected_err);
}

TEST_F(DirectoryRun, ProblemsOfOneHeaderDoNotStopTheRun) {
  write("a.kivhdr", "not xml at all");
  write("b.kivhdr", "");
  std::string expected;
  for (const std::string& name : system_order(traces_)) {
    if (name.find("kivhdr") != std::string::npos) expected += "Processing: " + name + "\n>>Processing failed...\n";
  }
  const kivtest::program_result r = kiv({"-R", "traces"}, cwd_.path().string());
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, expected);
  EXPECT_NE(r.err.find("syntax error at line1\n"), std::string::npos);
  EXPECT_NE(r.err.find("header file traces/b.kivhdr holds no <kiv> element\n"), std::string::npos);
}

TEST_F(DirectoryRun, DirectoryIsConvertedBeforeTheSingleHeader) {
  write("a.1.kivhdr", header_text(1, "asc"));
  kivtest::write_file(cwd_.path() / "single.kivhdr", header_text(3, "bin"));
  const kivtest::program_result r = kiv({"-H", "single.kivhdr", "-R", "traces"}, cwd_.path().string());
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out,
            "Processing: a.1.kivhdr\n"
            ">>Processing failed...\n"
            "header version \" 3 not supported \n");
  EXPECT_EQ(r.err, "");
}

TEST_F(DirectoryRun, SingleHeaderFailureIsNotReported) {
  kivtest::write_file(cwd_.path() / "single.kivhdr", header_text(1, "ill"));
  const kivtest::program_result r = kiv({"-H", "single.kivhdr"}, cwd_.path().string());
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "");
}

}  // namespace
