// Output that cannot be written: a file size limit and a full file system.
// Each run is compared with the same conversion made without the limit:
// every file must hold an unbroken beginning of its complete version, each
// file that lost bytes is reported once, and the exit status is 1.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdint>
#include <filesystem>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "kiv_run.h"
#include "support/scratch_dir.h"
#include "writer/trace_session.h"

namespace {

namespace fs = std::filesystem;

constexpr std::int32_t pid = 1234;
constexpr const char* runid = "run";
// Far more "memory" rows than the limits below let through; every other
// table stays small.
constexpr int allocations = 300;

// Two traced processes of one run: a directory run converts the second
// header into the files of the first, appending.
void write_trace(const fs::path& dir) {
  for (const std::int32_t traced : {pid, pid + 1}) {
    kivw::trace_session s(kivw::deterministic_options(dir.string(), runid, traced));
    s.process_start(7, traced, "session");
    s.schedule(0, 7);
    s.reserve_id(10, 64, 0x4000, "file.c:12", 1, "general heap");
    for (int i = 0; i < allocations; ++i) s.malloc_wf(10, 0, 0x1000 + 0x40 * i, 24, 32, 0x4010, "file.c:40");
    for (int i = 0; i < allocations; i += 2) s.free(10, 0, 0x1000 + 0x40 * i, 0x4020, "file.c:41");
    s.process_end(7);
    s.close();
  }
}

// Every regular file below dir (relative name -> content).
std::map<std::string, std::string> files_below(const fs::path& dir) {
  std::map<std::string, std::string> files;
  for (const auto& e : fs::recursive_directory_iterator(dir)) {
    if (e.is_regular_file()) files[fs::relative(e.path(), dir).string()] = kivtest::read_file(e.path());
  }
  return files;
}

std::map<std::string, std::string> outputs_below(const fs::path& dir) {
  std::map<std::string, std::string> files = files_below(dir);
  std::erase_if(files, [](const auto& f) { return !f.first.ends_with(".csv") && !f.first.ends_with(".sql"); });
  return files;
}

std::size_t occurrences(const std::string& text, const std::string& part) {
  std::size_t n = 0;
  for (std::size_t pos = text.find(part); pos != std::string::npos; pos = text.find(part, pos + 1)) ++n;
  return n;
}

// Compares the output files of a limited run with those of the complete
// run. Returns the names of the files that came out short, each of which
// must be reported as "kiv: cannot write <prefix><name> (<error>); the file
// is incomplete".
std::vector<std::string> check_prefixes(const std::map<std::string, std::string>& complete,
                                        const std::map<std::string, std::string>& limited, const std::string& err,
                                        const std::string& prefix, const std::string& error_text) {
  std::vector<std::string> short_files;
  EXPECT_EQ(limited.size(), complete.size());
  for (const auto& [name, full] : complete) {
    const auto it = limited.find(name);
    if (it == limited.end()) {
      ADD_FAILURE() << name << " is missing";
      continue;
    }
    const std::string& kept = it->second;
    EXPECT_EQ(kept, full.substr(0, kept.size())) << name << " is not a beginning of the complete file";
    const std::string message = "kiv: cannot write " + prefix + name + " (" + error_text + "); the file is incomplete\n";
    if (kept.size() < full.size()) {
      short_files.push_back(name);
      EXPECT_EQ(occurrences(err, message), 1U) << err;
    } else {
      EXPECT_EQ(occurrences(err, message), 0U) << err;
    }
  }
  EXPECT_EQ(occurrences(err, "kiv: cannot write "), short_files.size()) << err;
  return short_files;
}

class LostOutput : public ::testing::Test {
 protected:
  kivtest::scratch_dir scratch_{"kiv_lost"};
  fs::path complete_ = scratch_.path() / "complete";
  fs::path limited_ = scratch_.path() / "limited";

  void SetUp() override {
    fs::create_directories(complete_);
    fs::create_directories(limited_);
    write_trace(complete_);
    write_trace(limited_);
  }
};

// ---- file size limit ---------------------------------------------------

constexpr rlim_t file_size_limit = 16 * 1024;

struct limited_run {
  // How the child meets SIGXFSZ: ignored beforehand, or left to kiv.
  bool ignore_sigxfsz;
  std::vector<std::string> args;
};

void PrintTo(const limited_run& run, std::ostream* os) {
  *os << (run.ignore_sigxfsz ? "SIGXFSZ ignored," : "SIGXFSZ default,");
  for (const std::string& a : run.args) *os << ' ' << a;
}

// Runs kiv in dir under a file size limit; standard output and error go to
// files outside dir (they stay far below the limit).
kivtest::program_result run_with_file_size_limit(const fs::path& dir, const fs::path& capture,
                                                 const limited_run& run) {
  const std::string out_path = (capture / "stdout").string();
  const std::string err_path = (capture / "stderr").string();
  std::vector<std::string> words{KIV_BINARY};
  words.insert(words.end(), run.args.begin(), run.args.end());
  std::vector<char*> argv;
  for (std::string& w : words) argv.push_back(w.data());
  argv.push_back(nullptr);
  const pid_t child = ::fork();
  if (child == 0) {
    const int out = ::open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int err = ::open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const rlimit limit{file_size_limit, file_size_limit};
    if (out < 0 || err < 0 || ::dup2(out, STDOUT_FILENO) < 0 || ::dup2(err, STDERR_FILENO) < 0 ||
        ::chdir(dir.c_str()) != 0 || ::setrlimit(RLIMIT_FSIZE, &limit) != 0) {
      ::_exit(127);
    }
    std::signal(SIGXFSZ, run.ignore_sigxfsz ? SIG_IGN : SIG_DFL);
    ::execv(argv[0], argv.data());
    ::_exit(127);
  }
  int wstatus = 0;
  ::waitpid(child, &wstatus, 0);
  kivtest::program_result r;
  r.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus);
  r.out = kivtest::read_file(out_path);
  r.err = kivtest::read_file(err_path);
  return r;
}

class FileSizeLimit : public LostOutput, public ::testing::WithParamInterface<limited_run> {};

TEST_P(FileSizeLimit, KeepsWhatFitReportsEachShortFileAndFails) {
  const kivtest::program_run complete_run{GetParam().args, complete_.string(), {}};
  const kivtest::program_result complete = kivtest::run_program(KIV_BINARY, complete_run);
  ASSERT_EQ(complete.status, 0) << complete.err;
  const fs::path capture = scratch_.path() / "capture";
  fs::create_directory(capture);
  const kivtest::program_result r = run_with_file_size_limit(limited_, capture, GetParam());

  EXPECT_EQ(r.status, 1) << r.err;
  // The messages about lost output are the only difference on either stream.
  EXPECT_EQ(r.out, complete.out);
  std::string other_err;
  std::istringstream err_lines(r.err);
  for (std::string line; std::getline(err_lines, line);) {
    if (!line.starts_with("kiv: cannot write ")) other_err += line + "\n";
  }
  EXPECT_EQ(other_err, complete.err);
  const auto complete_files = outputs_below(complete_);
  const auto limited_files = outputs_below(limited_);
  const auto short_files = check_prefixes(complete_files, limited_files, r.err, "", "File too large");
  ASSERT_FALSE(short_files.empty());
  for (const std::string& name : short_files) {
    EXPECT_EQ(limited_files.at(name).size(), file_size_limit) << name << ": every byte below the limit is kept";
    EXPECT_TRUE(name.find(".memory.") != std::string::npos) << name;
  }
}

// With -M above the limit every "memory" file is cut at the limit, and the
// next one still starts where the complete run starts it.
INSTANTIATE_TEST_SUITE_P(
    Runs, FileSizeLimit,
    ::testing::Values(limited_run{true, {"-R", runid}}, limited_run{false, {"-R", runid}},
                      limited_run{true, {"-R", runid, "-M", "40K"}}),
    [](const ::testing::TestParamInfo<limited_run>& info) {
      return std::string(info.param.ignore_sigxfsz ? "SigxfszIgnored" : "SigxfszDefault") +
             (info.param.args.size() > 2 ? "AndTableSizeLimit" : "");
    });

// ---- full file system ----------------------------------------------------

// A small tmpfs mounted for the test; only the superuser can mount one.
class small_tmpfs {
 public:
  small_tmpfs(const fs::path& where, const std::string& size) : where_(where) {
    fs::create_directories(where_);
    mounted_ = ::mount("tmpfs", where_.c_str(), "tmpfs", 0, ("size=" + size).c_str()) == 0;
  }
  ~small_tmpfs() {
    if (mounted_) ::umount2(where_.c_str(), MNT_DETACH);
  }
  small_tmpfs(const small_tmpfs&) = delete;
  small_tmpfs& operator=(const small_tmpfs&) = delete;
  bool mounted() const { return mounted_; }

 private:
  fs::path where_;
  bool mounted_ = false;
};

// The single-file run writes its tables into the current directory, the
// tmpfs; the trace stays outside it, reached through a link (the header
// names its data files relative to the current directory).
TEST_F(LostOutput, FullFileSystemKeepsWhatFitReportsEachShortFileAndFails) {
  if (::geteuid() != 0) GTEST_SKIP() << "mounting a tmpfs needs the superuser";
  const fs::path out_complete = scratch_.path() / "out_complete";
  const fs::path out_limited = scratch_.path() / "disk";
  fs::create_directory(out_complete);
  small_tmpfs disk(out_limited, "96k");
  if (!disk.mounted()) GTEST_SKIP() << "no tmpfs can be mounted here";
  fs::create_directory_symlink(complete_ / runid, out_complete / runid);
  fs::create_directory_symlink(limited_ / runid, out_limited / runid);
  const std::vector<std::string> args{"-H", std::string(runid) + "/kiv.1234.kivhdr"};
  const kivtest::program_result complete = kiv(args, out_complete.string());
  ASSERT_EQ(complete.status, 0) << complete.err;
  const kivtest::program_result r = kiv(args, out_limited.string());

  EXPECT_EQ(r.status, 1) << r.err;
  EXPECT_EQ(r.out, complete.out);
  const auto short_files =
      check_prefixes(outputs_below(out_complete), outputs_below(out_limited), r.err, "./", "No space left on device");
  EXPECT_FALSE(short_files.empty());
}

}  // namespace
