// cmake --install into a scratch prefix: the programs land in bin/ and
// work from there, the manual page lands in share/man/man1, renders without
// a single warning and describes every option and table the installed kiv
// has.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "support/run_program.h"
#include "support/scratch_dir.h"

namespace {

namespace fs = std::filesystem;

bool executable(const fs::path& p) {
  struct stat st {};
  return ::stat(p.c_str(), &st) == 0 && S_ISREG(st.st_mode) && (st.st_mode & S_IXUSR) != 0;
}

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// Plain text of a rendered page: overstruck characters (c, backspace, c)
// become the character.
std::string plain(const std::string& rendered) {
  std::string text;
  for (char c : rendered) {
    if (c == '\b') {
      if (!text.empty()) text.pop_back();
    } else {
      text += c;
    }
  }
  return text;
}

kivtest::program_result run(const std::string& program, std::vector<std::string> args, const fs::path& cwd = {}) {
  kivtest::program_run r;
  r.args = std::move(args);
  r.cwd = cwd.string();
  return kivtest::run_program(program, r);
}

class Installed : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    prefix_ = new kivtest::scratch_dir("kiv_install");
    installed_ = run(CMAKE_COMMAND, {"--install", KIV_BUILD_DIR, "--prefix", prefix_->path().string()});
  }
  static void TearDownTestSuite() {
    delete prefix_;
    prefix_ = nullptr;
  }
  void SetUp() override { ASSERT_EQ(installed_.status, 0) << installed_.out << installed_.err; }

  static fs::path in_prefix(const std::string& relative) { return prefix_->path() / relative; }
  static kivtest::program_result groff(std::vector<std::string> args) {
    args.push_back(in_prefix("share/man/man1/kiv.1").string());
    return run(GROFF_BINARY, std::move(args));
  }

  static kivtest::scratch_dir* prefix_;
  static kivtest::program_result installed_;
};

kivtest::scratch_dir* Installed::prefix_ = nullptr;
kivtest::program_result Installed::installed_;

TEST_F(Installed, ProgramsWorkFromBin) {
  const fs::path kiv = in_prefix("bin/kiv");
  const fs::path kivgen = in_prefix("bin/kivgen");
  ASSERT_TRUE(executable(kiv));
  ASSERT_TRUE(executable(kivgen));
  kivtest::scratch_dir work("kiv_installed_run");
  const auto gen = run(kivgen.string(), {"--dir", ".", "--runid", "r", "--records", "2000"}, work.path());
  ASSERT_EQ(gen.status, 0) << gen.err;
  const auto converted = run(kiv.string(), {"-R", "r"}, work.path());
  EXPECT_EQ(converted.status, 0) << converted.err;
  EXPECT_TRUE(fs::file_size(work.path() / "r" / "kiv.r.memory.1.csv") > 0);
}

TEST_F(Installed, ManualPageIsOursAndRendersWithoutWarnings) {
  const fs::path page = in_prefix("share/man/man1/kiv.1");
  ASSERT_TRUE(fs::exists(page));
  EXPECT_EQ(kivtest::read_file(page), kivtest::read_file(fs::path(KIV_SOURCE_DIR) / "doc" / "kiv.1"));
  const kivtest::program_result r = groff({"-man", "-ww", "-z"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "") << "groff warns";
}

// The page keeps up with the program: every option of the usage text (and
// -M, which the usage text leaves out) has its entry, and every table a
// conversion writes has its paragraph.
TEST_F(Installed, ManualPageDescribesEveryOptionAndTable) {
  const auto rendered = groff({"-man", "-Tascii", "-P-c", "-P-b", "-P-u"});
  ASSERT_EQ(rendered.status, 0) << rendered.err;
  const std::string page = plain(rendered.out);

  const auto usage = run(in_prefix("bin/kiv").string(), {"-x"});
  std::set<std::string> options{"-M"};
  for (const std::string& line : lines_of(usage.out)) {
    const std::string word = line.substr(0, line.find(' '));
    if (word == "-vV") {
      options.insert({"-v", "-V"});
    } else {
      options.insert(word);
    }
  }
  ASSERT_GE(options.size(), 10U) << usage.out;
  for (const std::string& option : options) {
    EXPECT_TRUE(std::regex_search(page, std::regex("\n {7}(-[A-Za-z]+, )*" + option + "[ ,\n]"))) << "no entry for " << option;
  }

  kivtest::scratch_dir work("kiv_installed_tables");
  run(in_prefix("bin/kivgen").string(), {"--dir", ".", "--runid", "r", "--records", "2000"}, work.path());
  const auto converted = run(in_prefix("bin/kiv").string(), {"-R", "r"}, work.path());
  const std::regex announced("^csv_file: r/kiv\\.r\\.([a-z]+)\\.1\\.csv 1$");
  std::set<std::string> tables;
  for (const std::string& line : lines_of(converted.out)) {
    std::smatch m;
    if (std::regex_match(line, m, announced)) tables.insert(m[1]);
  }
  ASSERT_EQ(tables.size(), 18U) << converted.out;
  const std::string section = page.substr(page.find("\nTABLES\n"));
  for (const std::string& table : tables) {
    EXPECT_TRUE(std::regex_search(section, std::regex("\n {7}" + table + "[ \n]"))) << "no paragraph for " << table;
  }
}

}  // namespace
