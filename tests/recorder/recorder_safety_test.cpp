// kivrec against programs that are rough with descriptors, umasks and
// limits, and against starts that would break later steps: the program's
// own files come out as in a plain run, the trace converts, and every
// refusal or loss is said in one line.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "support/run_program.h"
#include "support/scratch_dir.h"

namespace {

namespace fs = std::filesystem;
using kivtest::program_result;
using kivtest::read_file;
using kivtest::run_program;
using kivtest::scratch_dir;

constexpr const char* runid = "safe";
constexpr int churn_count = 5000;  // fd_work's allocations in churn()
constexpr std::size_t memory_tag = 3;
constexpr std::size_t memory_rec = 4;
constexpr std::size_t memory_location = 18;
constexpr std::size_t memory_other_rec = 27;  // the freed block's record number

std::vector<std::string> fields_of(const std::string& line) {
  std::vector<std::string> fields;
  std::istringstream in(line);
  for (std::string field; std::getline(in, field, ';');) fields.push_back(field);
  return fields;
}

std::vector<std::vector<std::string>> rows_of(const std::string& table) {
  std::vector<std::vector<std::string>> rows;
  std::istringstream in(table);
  for (std::string line; std::getline(in, line);) rows.push_back(fields_of(line));
  return rows;
}

std::vector<std::string> files_in(const fs::path& dir, const std::string& extension) {
  std::vector<std::string> names;
  for (const auto& e : fs::directory_iterator(dir))
    if (e.path().extension() == extension) names.push_back(e.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

std::size_t line_count(const std::string& text) {
  return static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n'));
}

// A run converted by kiv in its trace directory.
struct converted {
  program_result convert;
  std::string run_dir;
  std::string table(const std::string& name) const {
    return read_file(run_dir + "/kiv." + runid + "." + name + ".1.csv");
  }
  // Allocations ("a") made in fd_work's churn(), or frees ("f") of them:
  // a free carries no stack, its row names the record of the block it frees.
  int churn_rows(const std::string& tag) const {
    std::map<std::string, std::string> locations;
    for (const auto& row : rows_of(table("hashloc")))
      if (row.size() == 4) locations[row[2]] = row[3];
    std::set<std::string> churned;
    int n = 0;
    for (const auto& row : rows_of(table("memory"))) {
      if (row.size() <= memory_other_rec) continue;
      const bool made = row[memory_tag] == "a" && locations[row[memory_location]].starts_with("churn (");
      if (made) churned.insert(row[memory_rec]);
      n += row[memory_tag] == tag && (made || (tag == "f" && churned.count(row[memory_other_rec]) != 0));
    }
    return n;
  }
};

converted convert(const scratch_dir& dir) {
  converted run{run_program(KIV_BINARY, {{"-R", runid}, dir.path().string(), {}}), dir / runid};
  EXPECT_EQ(run.convert.status, 0) << run.convert.err;
  for (const std::string& text : {run.convert.out, run.convert.err}) {
    EXPECT_EQ(text.find("OUT OF SYNC"), std::string::npos) << text;
    EXPECT_EQ(text.find("Illegal"), std::string::npos) << text;
  }
  return run;
}

program_result record(const scratch_dir& dir, const std::vector<std::string>& program,
                      const std::vector<std::string>& options = {}, const std::string& cwd = "") {
  std::vector<std::string> args = {"--dir", dir.path().string(), "--runid", runid, "--quiet"};
  args.insert(args.end(), options.begin(), options.end());
  args.push_back("--");
  args.insert(args.end(), program.begin(), program.end());
  return run_program(KIVREC_BINARY, {args, cwd, {}});
}

// kivrec run under one resource limit, as `ulimit` would set it; a file
// size limit's signal is ignored, so that writes beyond it fail instead.
program_result record_limited(const scratch_dir& dir, int resource, rlim_t limit,
                              const std::vector<std::string>& program) {
  const std::string out = dir / "limited.out";
  const std::string err = dir / "limited.err";
  std::vector<std::string> args = {KIVREC_BINARY, "--dir", dir.path().string(), "--runid", runid, "--quiet", "--"};
  args.insert(args.end(), program.begin(), program.end());
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  const pid_t pid = ::fork();
  if (pid == 0) {
    const bool redirected =
        std::freopen(out.c_str(), "w", stdout) != nullptr && std::freopen(err.c_str(), "w", stderr) != nullptr;
    const rlimit lowered{limit, limit};
    ::signal(SIGXFSZ, SIG_IGN);
    ::close_range(STDERR_FILENO + 1, ~0U, 0);  // only the standard three count against the limit
    if (redirected && ::setrlimit(resource, &lowered) == 0) ::execv(argv[0], argv.data());
    ::_exit(127);
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  return {WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status), read_file(out), read_file(err)};
}

// The faults a hostile program injects into the recorder's descriptors:
// its own file copied over every low number, or over the top of the range
// where the recorder and its unwinder keep theirs, or every inherited
// descriptor closed and its own files opened in their place. Its files must be byte
// for byte those of a plain run, and the trace whole.
TEST(RecorderSafety, ProgramFilesStayTheProgramsWhateverItDoesWithDescriptors) {
  const std::vector<std::vector<std::string>> cases = {
      {"dup2", "own.txt"}, {"covertop", "top.txt"}, {"closefds", "one.txt", "two.txt"}};
  for (const std::vector<std::string>& arguments : cases) {
    SCOPED_TRACE(arguments[0]);
    std::vector<std::string> program = {FD_WORK_BINARY};
    program.insert(program.end(), arguments.begin(), arguments.end());
    scratch_dir plain_dir("kivrec_plain_fd");
    ASSERT_EQ(run_program(FD_WORK_BINARY, {{arguments}, plain_dir.path().string(), {}}).status, 0);
    scratch_dir dir("kivrec_fd");
    const program_result recorded = record(dir, program, {}, dir.path().string());
    ASSERT_EQ(recorded.status, 0) << recorded.err;
    EXPECT_EQ(recorded.err, "");
    for (std::size_t i = 1; i < arguments.size(); ++i) {
      const std::string own = read_file(plain_dir / arguments[i]);
      ASSERT_FALSE(own.empty());
      EXPECT_EQ(read_file(dir / arguments[i]), own) << arguments[i];
    }
    const auto headers = files_in(dir / runid, ".kivhdr");
    ASSERT_EQ(headers.size(), 1u);
    EXPECT_TRUE(read_file(dir / runid + "/" + headers[0]).ends_with("</kiv>\n"));
    const converted run = convert(dir);
    EXPECT_EQ(run.churn_rows("a"), churn_count);
    EXPECT_EQ(run.churn_rows("f"), churn_count);
    // The header's trailer names the program and its start.
    const auto runs = rows_of(run.table("runs"));
    ASSERT_EQ(runs.size(), 1u);
    EXPECT_EQ(runs[0].at(4), "fd_work");
    EXPECT_FALSE(runs[0].at(2).starts_with("1970")) << runs[0].at(2);
  }
}

// A program that sets umask 0777 still leaves a trace anyone can read:
// its later data files and its forked child's files included.
TEST(RecorderSafety, TraceFilesAreReadableWhateverTheProgramsUmask) {
  scratch_dir dir("kivrec_umask");
  const program_result recorded = record(dir, {FD_WORK_BINARY, "umask"}, {"--size", "8"});
  ASSERT_EQ(recorded.status, 0) << recorded.err;
  const fs::path run_dir = dir / runid;
  EXPECT_EQ(fs::status(run_dir).permissions(), static_cast<fs::perms>(0755));
  ASSERT_EQ(files_in(run_dir, ".kivhdr").size(), 2u);
  EXPECT_GT(files_in(run_dir, ".kivdat").size(), 4u);
  for (const auto& e : fs::directory_iterator(run_dir))
    EXPECT_EQ(e.status().permissions(), static_cast<fs::perms>(0644)) << e.path();
  const converted run = convert(dir);
  EXPECT_EQ(run.churn_rows("a"), 2 * churn_count);
}

// A full disk or a file size limit: the loss is one line on standard error
// at the end, the header lists the bytes that reached the file, and kiv
// converts them.
TEST(RecorderSafety, LostBytesAreReportedAndWhatWasWrittenConverts) {
  constexpr rlim_t file_limit = 64 * 1024;
  scratch_dir dir("kivrec_fsize");
  const program_result recorded = record_limited(dir, RLIMIT_FSIZE, file_limit, {FD_WORK_BINARY, "churn"});
  ASSERT_EQ(recorded.status, 0) << recorded.err;
  EXPECT_EQ(line_count(recorded.err), 1u) << recorded.err;
  EXPECT_TRUE(recorded.err.starts_with("kivrec: trace of pid ")) << recorded.err;
  EXPECT_NE(recorded.err.find(" bytes: cannot write "), std::string::npos) << recorded.err;
  EXPECT_TRUE(recorded.err.ends_with(".000.kivdat: File too large\n")) << recorded.err;
  auto data = files_in(dir / runid, ".kivdat");
  std::erase_if(data, [](const std::string& name) { return name.ends_with(".names.kivdat"); });
  ASSERT_EQ(data.size(), 1u);
  EXPECT_EQ(fs::file_size(dir / runid + "/" + data[0]), file_limit);
  const std::string header = read_file(dir / runid + "/" + files_in(dir / runid, ".kivhdr").at(0));
  EXPECT_NE(header.find("<size value=\"" + std::to_string(file_limit) + "\"/>"), std::string::npos);
  EXPECT_TRUE(header.ends_with("</kiv>\n"));
  const converted run = convert(dir);
  EXPECT_GT(run.churn_rows("a"), 0);
  EXPECT_LT(run.churn_rows("a"), churn_count);
}

// With too few descriptors (ulimit -n 4) the data file cannot be created:
// the program runs as usual and standard error says why nothing is traced.
TEST(RecorderSafety, UnopenableTraceFileIsSaidOnStandardError) {
  constexpr rlim_t descriptors = 4;
  scratch_dir dir("kivrec_nofile");
  const program_result recorded = record_limited(dir, RLIMIT_NOFILE, descriptors, {FD_WORK_BINARY, "churn"});
  EXPECT_EQ(recorded.status, 0);
  EXPECT_EQ(line_count(recorded.err), 1u) << recorded.err;
  EXPECT_TRUE(recorded.err.starts_with("kivrec: cannot create trace file ")) << recorded.err;
  EXPECT_NE(recorded.err.find(": Too many open files; no trace of pid "), std::string::npos) << recorded.err;
}

// Ids that would break loading (';' and quotes end up in SQL), or name the
// trace directory or its parent, are refused before anything is created;
// the library refuses them from the environment too.
TEST(RecorderLauncher, RefusesRunIdsThatBreakLaterSteps) {
  scratch_dir dir("kivrec_ids");
  const std::string trace_dir = dir / "traces";
  for (const std::string id : {"a;b", "q'x", "..", ".", "", "0123456789", "a/b", "a b"}) {
    const program_result r =
        run_program(KIVREC_BINARY, {{"--dir", trace_dir, "--runid", id, "--", "/bin/true"}, "", {}});
    EXPECT_EQ(r.status, 2) << id;
    EXPECT_EQ(line_count(r.err), 1u) << r.err;
    EXPECT_TRUE(r.err.starts_with("kivrec: run id \"" + id + "\" refused")) << r.err;
  }
  EXPECT_FALSE(fs::exists(trace_dir));
  const program_result usable =
      run_program(KIVREC_BINARY, {{"--dir", trace_dir, "--runid", "a.b-C_9", "--quiet", "--", "/bin/true"}, "", {}});
  EXPECT_EQ(usable.status, 0) << usable.err;
  EXPECT_EQ(files_in(fs::path(trace_dir) / "a.b-C_9", ".kivhdr").size(), 1u);

  fs::create_directory(dir / "inner");
  for (const std::string id : {"..", "../x", "0123456789"}) {
    const program_result r = run_program(FD_WORK_BINARY, {{"churn"}, "", {{"LD_PRELOAD", KIVREC_LIBRARY_FILE},
                                                                         {"KIVREC_DIR", dir / "inner"},
                                                                         {"KIVREC_RUNID", id}}});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(line_count(r.err), 1u) << r.err;
    EXPECT_TRUE(r.err.starts_with("kivrec: KIVREC_RUNID \"" + id + "\" is not a run id")) << r.err;
  }
  EXPECT_TRUE(fs::is_empty(dir / "inner"));
  EXPECT_EQ(files_in(dir.path(), ".kivhdr").size(), 0u);
}

// A second recording under the same id would merge with the first in kiv
// and the database; it is refused unless --append asks for it.
TEST(RecorderLauncher, RefusesARunDirectoryWithATraceUnlessAppending) {
  scratch_dir dir("kivrec_again");
  ASSERT_EQ(record(dir, {FD_WORK_BINARY, "churn"}).status, 0);
  const program_result again = record(dir, {FD_WORK_BINARY, "churn"});
  EXPECT_EQ(again.status, 2);
  EXPECT_EQ(line_count(again.err), 1u) << again.err;
  EXPECT_NE(again.err.find("already holds a trace"), std::string::npos) << again.err;
  EXPECT_EQ(files_in(dir / runid, ".kivhdr").size(), 1u);

  const program_result appended = record(dir, {FD_WORK_BINARY, "churn"}, {"--append"});
  EXPECT_EQ(appended.status, 0) << appended.err;
  EXPECT_EQ(files_in(dir / runid, ".kivhdr").size(), 2u);
  EXPECT_EQ(convert(dir).churn_rows("a"), 2 * churn_count);
  EXPECT_NE(run_program(KIVREC_BINARY, {{"--help"}, "", {}}).out.find("--append "), std::string::npos);
}

// Nothing can be preloaded into a statically linked program: kivrec says
// so and runs it anyway, found through PATH like any other.
TEST(RecorderLauncher, WarnsThatAStaticProgramIsNotRecorded) {
  constexpr int program_status = 7;
  scratch_dir dir("kivrec_static");
  kivtest::write_file(dir / "seven.c", "int main(void) { return 7; }\n");
  const program_result built = run_program("/usr/bin/gcc", {{"-static", "-o", dir / "seven", dir / "seven.c"}, "", {}});
  if (built.status != 0) GTEST_SKIP() << "gcc -static fails (static C library not installed?): " << built.err;
  const std::string path = dir.path().string() + ":" + (std::getenv("PATH") ? std::getenv("PATH") : "");
  const program_result r = run_program(
      KIVREC_BINARY, {{"--dir", dir.path().string(), "--runid", runid, "--quiet", "--", "seven"}, "", {{"PATH", path}}});
  EXPECT_EQ(r.status, program_status);
  EXPECT_EQ(r.err, "kivrec: " + (dir / "seven") +
                       " is statically linked: nothing can be preloaded into it, its heap is not recorded\n");

  const program_result dynamic = record(dir, {"/bin/true"}, {"--append"});
  EXPECT_EQ(dynamic.status, 0);
  EXPECT_EQ(dynamic.err, "");
}

// The library is preloaded into C programs too: it must not bring the C++
// runtime with it (whose start-up allocations would be the program's),
// in any build type.
TEST(RecorderSafety, LibraryNeedsNoCppRuntime) {
  const program_result r = run_program("/usr/bin/readelf", {{"-d", KIVREC_LIBRARY_FILE}, "", {}});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("libc.so"), std::string::npos) << r.out;
  EXPECT_EQ(r.out.find("libstdc++"), std::string::npos) << r.out;
}

}  // namespace
