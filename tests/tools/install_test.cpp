// cmake --install into a scratch prefix: the programs land in bin/ and
// work from there (a program recorded with the installed kivrec, converted,
// loaded and reported, and in one command with kivrec --report), kivrec's
// library lands in its private folder, and
// every manual page lands in share/man/man1, renders without a single
// warning and describes every option, command and table its program has.

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

// The part of a rendered page under the heading line (a section such as
// "OPTIONS", or a subsection such as "   load"): up to the next heading of
// the same or a higher level. Empty when there is no such heading.
std::string part_under(const std::string& page, const std::string& heading) {
  const std::size_t indent = heading.find_first_not_of(' ');
  std::string text;
  bool inside = false;
  for (const std::string& line : lines_of(page)) {
    const std::size_t line_indent = line.find_first_not_of(' ');
    if (inside && line_indent != std::string::npos && line_indent <= indent) break;
    if (inside) text += line + "\n";
    if (line == heading) inside = true;
  }
  return inside ? "\n" + text : "";
}

// The page text has an entry tagged with option (alone or after others,
// "-v, -V"), as .TP makes it.
bool has_entry(const std::string& text, const std::string& option) {
  return std::regex_search(text, std::regex("\n {7}(-[-A-Za-z]+, )*" + option + "[ ,\n]"));
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
  static fs::path page_of(const std::string& program) { return in_prefix("share/man/man1/" + program + ".1"); }
  static kivtest::program_result groff(const std::string& program, std::vector<std::string> args) {
    args.push_back(page_of(program).string());
    return run(GROFF_BINARY, std::move(args));
  }
  // The page as text, without the overstrikes of bold and underline.
  static std::string rendered(const std::string& program) {
    const auto r = groff(program, {"-man", "-Tascii", "-P-c", "-P-b", "-P-u"});
    EXPECT_EQ(r.status, 0) << r.err;
    return plain(r.out);
  }

  static kivtest::scratch_dir* prefix_;
  static kivtest::program_result installed_;
};

kivtest::scratch_dir* Installed::prefix_ = nullptr;
kivtest::program_result Installed::installed_;

TEST_F(Installed, ProgramsLandInBinAndTheRecordingLibraryInItsFolder) {
  for (const char* program : {"kiv", "kivgen", "kivdb", "kivrec"})
    EXPECT_TRUE(executable(in_prefix(std::string("bin/") + program))) << program;
  EXPECT_TRUE(fs::is_regular_file(in_prefix(KIV_PRIVATE_LIBDIR "/libkivrec.so")));
  EXPECT_FALSE(fs::exists(in_prefix("bin/libkivrec.so")));
}

TEST_F(Installed, ProgramsWorkFromBin) {
  const fs::path kiv = in_prefix("bin/kiv");
  const fs::path kivgen = in_prefix("bin/kivgen");
  kivtest::scratch_dir work("kiv_installed_run");
  const auto gen = run(kivgen.string(), {"--dir", ".", "--runid", "r", "--records", "2000"}, work.path());
  ASSERT_EQ(gen.status, 0) << gen.err;
  const auto converted = run(kiv.string(), {"-R", "r"}, work.path());
  EXPECT_EQ(converted.status, 0) << converted.err;
  EXPECT_TRUE(fs::file_size(work.path() / "r" / "kiv.r.memory.1.csv") > 0);
}

// A copy of the installed tree in `work`, started through a symbolic link
// to its kivrec, and a small program with known leaks built there.
struct moved_install {
  fs::path kivrec;
  fs::path bin;
};

moved_install move_installed_tree(const fs::path& prefix, const fs::path& work) {
  const fs::path moved = work / "moved";
  fs::copy(prefix, moved, fs::copy_options::recursive | fs::copy_options::copy_symlinks);
  fs::create_symlink(moved / "bin" / "kivrec", work / "kivrec");
  kivtest::write_file(work / "leaky.c",
                      "#include <stdlib.h>\n#include <string.h>\n"
                      "static void* kept[3];\n"
                      "__attribute__((noinline)) static void leak_here(int i) {\n"
                      "  kept[i] = malloc(4000);\n  memset(kept[i], 1, 4000);\n}\n"
                      "int main(void) {\n"
                      "  for (int i = 0; i < 3; ++i) leak_here(i);\n"
                      "  for (int i = 0; i < 100; ++i) free(malloc(100 + i));\n"
                      "  return 0;\n}\n");
  const auto built = run(C_COMPILER, {"-O0", "-g", "-o", "leaky", "leaky.c"}, work);
  EXPECT_EQ(built.status, 0) << built.err;
  return {work / "kivrec", moved / "bin"};
}

// The three blocks of leak_here are alive at the end, under its location
// (a library the program loads may leave blocks of its own besides),
// named by its first frame and carrying its stack.
void expect_leak_in(const std::string& json) {
  const std::regex leak_entry(
      "\\{\"name\": \"leak_here \\([^\"]*leaky.c:[0-9]+\\)\", \"bytes\": 12000, \"blocks\": 3, \"stack\": \\[\n"
      "      \\{\"function\": \"leak_here\", \"file\": \"[^\"]*leaky.c\", \"line\": [0-9]+, \"object\": \"leaky\"\\},\n"
      "      \\{\"function\": \"main\",");
  EXPECT_TRUE(std::regex_search(json, leak_entry)) << json;
}

// A small program with known leaks, built here, goes the whole way with
// the installed programs alone: kivrec finds its library from its own
// place (here a copy of the installed tree, started through a symbolic
// link), kiv converts, kivdb loads and reports the leaks.
TEST_F(Installed, RecordedProgramIsConvertedLoadedAndReported) {
  kivtest::scratch_dir work("kiv_installed_record");
  const moved_install installed = move_installed_tree(prefix_->path(), work.path());

  kivtest::program_run record{{"--dir", ".", "--runid", "r", "--quiet", "--", "./leaky"}, work.path().string(), {}};
  record.env["KIVREC_LIBRARY"] = std::nullopt;
  record.env["LD_PRELOAD"] = std::nullopt;
  const auto recorded = kivtest::run_program(installed.kivrec.string(), record);
  ASSERT_EQ(recorded.status, 0) << recorded.err;
  const auto converted = run(in_prefix("bin/kiv").string(), {"-R", "r"}, work.path());
  ASSERT_EQ(converted.status, 0) << converted.err;
  const auto loaded = run(in_prefix("bin/kivdb").string(), {"load", "r"}, work.path());
  ASSERT_EQ(loaded.status, 0) << loaded.err;

  const auto reported =
      run(in_prefix("bin/kivdb").string(), {"report", "--db", "r/kiv.r.db", "--json", "report.json"}, work.path());
  ASSERT_EQ(reported.status, 0) << reported.err;
  EXPECT_NE(reported.out.find("leak_here"), std::string::npos) << reported.out;
  expect_leak_in(kivtest::read_file(work.path() / "report.json"));
}

// The one command with the installed programs alone: kivrec finds kiv and
// kivdb beside itself in bin/ (PATH leads to none of them), and the page
// and JSON come out.
TEST_F(Installed, OneCommandReportsWithTheInstalledPrograms) {
  kivtest::scratch_dir work("kiv_installed_one_command");
  const moved_install installed = move_installed_tree(prefix_->path(), work.path());

  kivtest::program_run record{
      {"--runid", "r", "--quiet", "--report", "page.html", "--json", "report.json", "--", "./leaky"},
      work.path().string(), {}};
  record.env["KIVREC_LIBRARY"] = std::nullopt;
  record.env["LD_PRELOAD"] = std::nullopt;
  record.env["PATH"] = "/usr/bin:/bin";
  const auto reported = kivtest::run_program(installed.kivrec.string(), record);
  ASSERT_EQ(reported.status, 0) << reported.err;
  EXPECT_EQ(reported.err, "");
  EXPECT_NE(reported.out.find("leak_here"), std::string::npos) << reported.out;
  EXPECT_TRUE(reported.out.ends_with("\nReport: page.html\n")) << reported.out;
  expect_leak_in(kivtest::read_file(work.path() / "report.json"));
  EXPECT_TRUE(fs::file_size(work.path() / "page.html") > 0);
  EXPECT_TRUE(fs::is_regular_file(work.path() / "r" / "kiv.r.sql"));
}

TEST_F(Installed, ManualPagesAreOursAndRenderWithoutWarnings) {
  for (const char* program : {"kiv", "kivdb", "kivrec"}) {
    const fs::path page = page_of(program);
    ASSERT_TRUE(fs::exists(page)) << page;
    EXPECT_EQ(kivtest::read_file(page), kivtest::read_file(fs::path(KIV_SOURCE_DIR) / "doc" / (std::string(program) + ".1")));
    const kivtest::program_result r = groff(program, {"-man", "-ww", "-z"});
    EXPECT_EQ(r.status, 0) << program;
    EXPECT_EQ(r.err, "") << program << ": groff warns";
  }
}

// The page keeps up with the program: every option of the usage text (and
// -M, which the usage text leaves out) has its entry, and every table a
// conversion writes has its paragraph.
TEST_F(Installed, ManualPageDescribesEveryOptionAndTable) {
  const std::string page = rendered("kiv");

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
    EXPECT_TRUE(has_entry(page, option)) << "no entry for " << option;
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

// Every command of kivdb's usage text has its subsection in the page, and
// every option the usage names for it has its entry there.
TEST_F(Installed, KivdbPageDescribesEveryCommandAndItsOptions) {
  const std::string page = rendered("kivdb");
  const auto usage = run(in_prefix("bin/kivdb").string(), {"--help"});
  ASSERT_EQ(usage.status, 0) << usage.err;
  const std::regex command_line("^  kivdb ([a-z]+)(.*)$");
  const std::regex option_word("(^|[ [|])(--?[a-z][-a-z]*)");
  std::set<std::string> commands;
  for (const std::string& line : lines_of(usage.out)) {
    std::smatch m;
    if (!std::regex_match(line, m, command_line)) continue;
    const std::string command = m[1];
    const std::string words = m[2];
    commands.insert(command);
    const std::string section = part_under(page, "   " + command);
    ASSERT_FALSE(section.empty()) << "no subsection for " << command;
    for (std::sregex_iterator it(words.begin(), words.end(), option_word), end; it != end; ++it)
      EXPECT_TRUE(has_entry(section, (*it)[2])) << command << ": no entry for " << (*it)[2];
  }
  EXPECT_GE(commands.size(), 4U) << usage.out;
}

// Every option of kivrec's help text has its entry under OPTIONS.
TEST_F(Installed, KivrecPageDescribesEveryOption) {
  const std::string options_part = part_under(rendered("kivrec"), "OPTIONS");
  const auto help = run(in_prefix("bin/kivrec").string(), {"--help"});
  ASSERT_EQ(help.status, 0) << help.err;
  const std::regex option_line("^ +(--[a-z][-a-z]*)( .*)?$");
  std::set<std::string> options;
  for (const std::string& line : lines_of(help.out)) {
    std::smatch m;
    if (std::regex_match(line, m, option_line)) options.insert(m[1]);
  }
  EXPECT_GE(options.size(), 9U) << help.out;
  for (const std::string& option : options) EXPECT_TRUE(has_entry(options_part, option)) << "no entry for " << option;
}

}  // namespace
