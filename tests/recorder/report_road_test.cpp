// kivrec --report: a program built for the test goes from its run to its
// summary, JSON and page in one command. The figures are those kivdb
// report gives for the same directory, the directory loads afterwards, the
// page works in a real browser; the exit status is the program's, and
// every failure is one line (status 1 only when the program succeeded).

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <optional>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "report/browser_page.h"
#include "support/run_program.h"
#include "support/scratch_dir.h"

namespace {

namespace fs = std::filesystem;
using kivtest::program_result;
using kivtest::read_file;
using kivtest::run_program;
using kivtest::scratch_dir;

constexpr const char* runid = "r";
constexpr int killed_by_sigkill = 128 + 9;
// report_work's leak: three blocks of 4,000 bytes from leak_here().
const std::regex leak_entry("\\{\"name\": \"leak_here [^\"]*\", \"bytes\": 12000, \"blocks\": 3, \"stack\": \\[\n"
                            "      \\{\"function\": \"leak_here\",");

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// kivrec with `options` and the trace directory `dir`, run in `dir`,
// recording report_work with `program_args`.
program_result one_command(const scratch_dir& dir, std::vector<std::string> options,
                           const std::vector<std::string>& program_args, const std::string& kivrec = KIVREC_BINARY,
                           const std::map<std::string, std::optional<std::string>>& env = {}) {
  std::vector<std::string> args{"--dir", dir.path().string(), "--runid", runid};
  args.insert(args.end(), options.begin(), options.end());
  args.insert(args.end(), {"--", REPORT_WORK_BINARY});
  args.insert(args.end(), program_args.begin(), program_args.end());
  return run_program(kivrec, {args, dir.path().string(), env});
}

program_result kivdb(const scratch_dir& dir, const std::vector<std::string>& args) {
  return run_program(KIVDB_BINARY, {args, dir.path().string(), {}});
}

// One recording, reported in one command, that the tests below look at
// from every side.
class OneCommand : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = new scratch_dir("kivrec_one_command");
    run_ = new program_result(one_command(*dir_, {"--report", "page.html", "--json", "run.json"}, {"0"}));
  }
  static void TearDownTestSuite() {
    delete run_;
    delete dir_;
  }
  void SetUp() override { ASSERT_EQ(run_->status, 0) << run_->out << run_->err; }

  static std::string run_dir() { return *dir_ / runid; }

  static scratch_dir* dir_;
  static program_result* run_;
};

scratch_dir* OneCommand::dir_ = nullptr;
program_result* OneCommand::run_ = nullptr;

// The program's output, then a heading and the summary, which ends with
// where the page went; kivrec's own lines on standard error say where the
// trace and kiv's output went, and nothing of kiv's reaches the terminal.
TEST_F(OneCommand, SummaryFollowsTheProgramsOutputAndKivsOutputIsInTheLog) {
  const std::string heading = "\n==== kivrec: run r (" + run_dir() + ") ====\nRun r: report_work on ";
  EXPECT_TRUE(run_->out.starts_with("report_work: done\n" + heading)) << run_->out;
  EXPECT_NE(run_->out.find("\nLeaks by location\n"), std::string::npos) << run_->out;
  EXPECT_NE(run_->out.find("  12,000      3  leak_here ("), std::string::npos) << run_->out;
  EXPECT_TRUE(run_->out.ends_with("\nReport: page.html\n")) << run_->out;

  const std::string log = run_dir() + "/kiv.r.log";
  EXPECT_EQ(lines_of(run_->err),
            (std::vector<std::string>{"kivrec: recording into " + run_dir() + "; converted and reported when the program ends",
                                      "kivrec: converting " + run_dir() + " with kiv (its output: " + log + ")"}));
  EXPECT_NE(read_file(log).find("Processing: kiv."), std::string::npos) << read_file(log);
}

// kiv and kivdb run without the recording settings that the program got:
// the run holds the program's one header, none of theirs.
TEST_F(OneCommand, HelpersAreNotRecorded) {
  std::vector<std::string> headers;
  for (const auto& e : fs::directory_iterator(run_dir()))
    if (e.path().extension() == ".kivhdr") headers.push_back(e.path().filename().string());
  ASSERT_EQ(headers.size(), 1U);
  EXPECT_NE(read_file(fs::path(run_dir()) / headers[0]).find("report_work"), std::string::npos);
}

// The JSON is kivdb report's of the same directory, byte for byte, and
// names the program's leak.
TEST_F(OneCommand, JsonIsTheDirectoryReports) {
  const std::string json = read_file(*dir_ / "run.json");
  EXPECT_TRUE(std::regex_search(json, leak_entry)) << json;
  const program_result direct = kivdb(*dir_, {"report", run_dir(), "--json", "direct.json"});
  ASSERT_EQ(direct.status, 0) << direct.err;
  EXPECT_EQ(json, read_file(*dir_ / "direct.json"));
}

// The tables stay in the run directory for the longer road: kivdb load
// takes them (the log beside them is no table), and the database's report
// is the same.
TEST_F(OneCommand, RunDirectoryLoadsAfterwards) {
  const program_result loaded = kivdb(*dir_, {"load", run_dir(), "--db", "run.db"});
  ASSERT_EQ(loaded.status, 0) << loaded.err;
  const program_result reported = kivdb(*dir_, {"report", "--db", "run.db", "--json", "db.json"});
  ASSERT_EQ(reported.status, 0) << reported.err;
  EXPECT_EQ(read_file(*dir_ / "db.json"), read_file(*dir_ / "run.json"));
}

TEST_F(OneCommand, PageWorksInABrowser) {
  if (!kivtest::browser_installed()) GTEST_SKIP() << "chromium is not installed";
  scratch_dir profile("kivrec_one_command_browser");
  const kivtest::browser_page page = kivtest::open_in_browser(profile, *dir_ / "page.html");
  EXPECT_EQ(kivtest::console_lines(page.log), "");
  EXPECT_EQ(kivtest::body_attribute(page.dom, "data-kiv-ready"), "yes");
  EXPECT_EQ(kivtest::body_attribute(page.dom, "data-kiv-errors"), "0");
  const std::string charts = kivtest::body_attribute(page.dom, "data-kiv-charts");
  EXPECT_NE(charts, "0");
  EXPECT_EQ(kivtest::body_attribute(page.dom, "data-kiv-drawn"), charts);
  EXPECT_NE(page.dom.find("leak_here"), std::string::npos);
}

// The exit status is the program's, whatever it was, and the report is
// made all the same; a program killed outright is reported as far as its
// trace reached, and the report says it is cut short.
TEST(OneCommandStatus, ProgramsStatusAndCutShortRun) {
  {
    scratch_dir dir("kivrec_one_command_status");
    const program_result r = one_command(dir, {"--quiet", "--json", "run.json"}, {"3"});
    EXPECT_EQ(r.status, 3) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_TRUE(std::regex_search(read_file(dir / "run.json"), leak_entry));
  }
  {
    scratch_dir dir("kivrec_one_command_killed");
    const program_result r = one_command(dir, {"--quiet", "--size", "64", "--json", "run.json"}, {"0", "kill"});
    EXPECT_EQ(r.status, killed_by_sigkill) << r.err;
    EXPECT_EQ(r.err, "");
    const std::string json = read_file(dir / "run.json");
    EXPECT_NE(json.find("\"cut_short\": true"), std::string::npos) << json;
    EXPECT_EQ(json.find("\"memory_records\": 0,"), std::string::npos) << json;
    EXPECT_NE(r.out.find("cut short"), std::string::npos) << r.out;
  }
}

// --stacks opens every entry of the summary's lists to its whole stack,
// from the allocation outwards, as kivdb report --stacks does; it only
// makes sense with a report to print.
TEST(OneCommandStatus, StacksInTheSummary) {
  {
    scratch_dir dir("kivrec_one_command_stacks");
    const program_result r = one_command(dir, {"--quiet", "--stacks", "--json", "run.json"}, {"0"});
    EXPECT_EQ(r.status, 0) << r.err;
    const std::regex leak_stack("\n  12,000      3  leak_here \\([^)]*report_work\\.c:\\d+\\)\n"
                                "      leak_here \\([^)]*report_work\\.c:\\d+\\) \\[report_work\\]\n"
                                "      main \\([^)]*report_work\\.c:\\d+\\) \\[report_work\\]\n");
    EXPECT_TRUE(std::regex_search(r.out, leak_stack)) << r.out;
  }
  {
    scratch_dir dir("kivrec_one_command_stacks_alone");
    const program_result r = one_command(dir, {"--stacks"}, {"0"});
    EXPECT_EQ(r.status, 2);
    EXPECT_TRUE(r.err.starts_with("kivrec: --stacks needs --report or --json\n")) << r.err;
    EXPECT_FALSE(fs::exists(dir / runid));
  }
}

// Whoever runs the one command gets the report: a user name kiv would
// refuse as its product user (longer than 8 characters, or none) is
// replaced for kiv alone.
TEST(OneCommandStatus, AnyUserNameConverts) {
  for (const std::optional<std::string>& user : {std::optional<std::string>("a-rather-long-name"),
                                                 std::optional<std::string>()}) {
    scratch_dir dir("kivrec_one_command_user");
    const program_result r =
        one_command(dir, {"--quiet", "--json", "run.json"}, {"0"}, KIVREC_BINARY, {{"USER", user}, {"KRE_USER", {}}});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_TRUE(std::regex_search(read_file(dir / "run.json"), leak_entry));
  }
}

// A conversion or report that fails after the program is one line on
// standard error; kivrec's status is 1 when the program succeeded, else
// the program's. The program itself puts a directory where kiv's first
// table, or the page, is to be written.
TEST(OneCommandFailure, ConversionOrReportFailsAfterTheProgram) {
  for (const char* status : {"0", "3"}) {
    const int expected = std::string(status) == "0" ? 1 : 3;
    {
      scratch_dir dir("kivrec_one_command_kiv_fails");
      const std::string table = dir / "r/kiv.r.runs.1.csv";
      const program_result r = one_command(dir, {"--quiet", "--report", "page.html"}, {status, "mkdir", table});
      EXPECT_EQ(r.status, expected);
      EXPECT_EQ(r.err, "kivrec: kiv -R r failed (exit status 1): kiv: cannot open table file r/kiv.r.runs.1.csv "
                       "(open: Is a directory); its rows are lost (kiv's output: " +
                           (dir / "r/kiv.r.log") + ")\n");
      EXPECT_FALSE(fs::exists(dir / "page.html"));
    }
    {
      scratch_dir dir("kivrec_one_command_page_fails");
      const program_result r = one_command(dir, {"--quiet", "--report", "page.html"}, {status, "mkdir", dir / "page.html"});
      EXPECT_EQ(r.status, expected);
      EXPECT_EQ(r.err, "kivrec: no report: kivdb report: cannot write page.html: Is a directory\n");
    }
  }
}

// What would make the report fail is refused before the program runs:
// status 2, one line, nothing recorded.
TEST(OneCommandFailure, UnusableReportRefusedBeforeTheProgram) {
  scratch_dir dir("kivrec_one_command_refused");
  const std::vector<std::pair<std::vector<std::string>, std::string>> cases{
      {{"--report", "no/such/page.html"}, "kivrec: --report no/such/page.html: there is no folder no/such\n"},
      {{"--json", "."}, "kivrec: --json .: it is a directory\n"},
      {{"--report", "same", "--json", "same"}, "kivrec: --report and --json name the same file same\n"}};
  for (const auto& [options, message] : cases) {
    const program_result r = one_command(dir, options, {"0"});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, message);
    EXPECT_FALSE(fs::exists(dir / runid));
  }
}

// kiv and kivdb are found beside kivrec (as installed), else on PATH; a
// missing one is refused before the program runs. A copy of kivrec with
// its library in a folder of its own stands for an installed one.
TEST(OneCommandFailure, HelpersBesideKivrecOrOnPath) {
  scratch_dir dir("kivrec_one_command_helpers");
  const fs::path bin = dir.path() / "bin";
  fs::create_directories(bin);
  fs::copy_file(KIVREC_BINARY, bin / "kivrec");
  fs::copy_file(KIVREC_LIBRARY_FILE, bin / "libkivrec.so");
  const std::string kivrec = (bin / "kivrec").string();
  const std::map<std::string, std::optional<std::string>> system_path{{"PATH", "/usr/bin:/bin"}};
  if (fs::exists("/usr/bin/kiv") || fs::exists("/usr/bin/kivdb")) GTEST_SKIP() << "kiv is installed in /usr/bin";

  const std::vector<std::string> options{"--quiet", "--json", "run.json"};
  program_result r = one_command(dir, options, {"0"}, kivrec, system_path);
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.err, "kivrec: cannot report: no kiv beside kivrec, in its build tree or on PATH\n");
  EXPECT_EQ(r.out, "");

  fs::copy_file(KIV_BINARY, bin / "kiv");
  r = one_command(dir, options, {"0"}, kivrec, system_path);
  EXPECT_EQ(r.err, "kivrec: cannot report: no kivdb beside kivrec, in its build tree or on PATH\n");
  EXPECT_FALSE(fs::exists(dir / runid));

  const std::string kivdb_folder = fs::path(KIVDB_BINARY).parent_path().string();
  r = one_command(dir, options, {"0"}, kivrec, {{"PATH", kivdb_folder + ":/usr/bin:/bin"}});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(std::regex_search(read_file(dir / "run.json"), leak_entry));
}

// A program that cannot be run records nothing: its status stays, and
// the missing report is said.
TEST(OneCommandFailure, NothingRecorded) {
  scratch_dir dir("kivrec_one_command_nothing");
  const program_result r = run_program(
      KIVREC_BINARY, {{"--quiet", "--runid", runid, "--report", "page.html", "--", "./no-such-program"}, dir.path().string(), {}});
  EXPECT_EQ(r.status, 127);
  EXPECT_EQ(lines_of(r.err).back(),
            "kivrec: nothing was recorded in " + (dir / runid) + " (no trace header): no report");
  EXPECT_FALSE(fs::exists(dir / "page.html"));
}

}  // namespace
