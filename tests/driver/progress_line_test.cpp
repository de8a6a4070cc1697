// The progress line: drawn only on a terminal, rewritten in place, erased
// before any other output and before kiv ends, so that what remains on the
// terminal is exactly what a redirected run writes.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

#include "driver/progress_line.h"
#include "kiv_run.h"
#include "support/scratch_dir.h"
#include "writer/trace_session.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// What the other side of a terminal receives until nothing more comes
// for a moment (the terminal layer passes bytes on asynchronously).
std::string received_by(int master) {
  constexpr int quiet_ms = 100;
  std::string got;
  char buf[4096];
  pollfd p{master, POLLIN, 0};
  while (::poll(&p, 1, quiet_ms) > 0) {
    const ssize_t n = ::read(master, buf, sizeof buf);
    if (n <= 0) break;
    got.append(buf, static_cast<std::size_t>(n));
  }
  return got;
}

// Everything the other side of a terminal receives until its last writer
// has gone.
std::string drain(int master) {
  std::string got;
  char buf[4096];
  for (;;) {
    const ssize_t n = ::read(master, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return got;  // EIO once the last writer has gone
    got.append(buf, static_cast<std::size_t>(n));
  }
}

// A raw terminal (no line-end translation) of the given width.
struct terminal {
  int master = -1;
  int slave = -1;
  explicit terminal(unsigned short columns) {
    termios raw{};
    ::cfmakeraw(&raw);
    winsize ws{};
    ws.ws_col = columns;
    ws.ws_row = 24;
    if (::openpty(&master, &slave, nullptr, &raw, &ws) != 0) throw std::runtime_error("openpty");
  }
  ~terminal() {
    ::close(master);
    if (slave >= 0) ::close(slave);
  }
  std::string received() { return received_by(master); }
};

// What a terminal shows once the progress line is taken out. Checks on the
// way that the line is only ever drawn ("\r" and text) over itself or
// erased ("\r", blanks, "\r"), that nothing else is written while it is
// shown, and that it is gone at the end. Returns the drawn texts in lines.
std::string without_progress(const std::string& raw, std::vector<std::string>& lines) {
  std::string text;
  bool shown = false;
  std::size_t pos = 0;
  while (pos < raw.size()) {
    if (raw[pos] != '\r') {
      EXPECT_FALSE(shown) << "output over the progress line at byte " << pos;
      const std::size_t end = std::min(raw.find('\r', pos), raw.size());
      text.append(raw, pos, end - pos);
      pos = end;
      continue;
    }
    const std::size_t end = raw.find('\r', pos + 1);
    if (end == std::string::npos) {
      ADD_FAILURE() << "the progress line is left on the terminal: " << raw.substr(pos);
      return text;
    }
    const std::string inner = raw.substr(pos + 1, end - pos - 1);
    const bool blank = inner.find_first_not_of(' ') == std::string::npos && !inner.empty();
    if (blank && shown) {
      shown = false;
      pos = end + 1;
    } else {
      EXPECT_EQ(inner.find('\n'), std::string::npos) << inner;
      lines.push_back(inner.substr(0, inner.find_last_not_of(' ') + 1));
      shown = true;
      pos = end;
    }
  }
  EXPECT_FALSE(shown);
  return text;
}

// ---- the line itself, on a terminal with a clock the test moves ---------

progress_line::clock::time_point fake_now;
progress_line::clock::time_point read_fake_clock() { return fake_now; }

TEST(ProgressLine, ShowsShareRateAndTimeAndRedrawsAFewTimesASecond) {
  terminal t(100);
  fake_now = progress_line::clock::time_point{} + 1h;
  progress_line line(t.slave, read_fake_clock);
  line.begin("traces/kiv.7.kivhdr", 2000, 500);
  EXPECT_EQ(t.received(), "\rtraces/kiv.7.kivhdr: 0% of data read, 0 memory records/s, 0:00 elapsed");

  fake_now += 100ms;  // too soon to draw again
  line.update(100, 600);
  EXPECT_EQ(t.received(), "");
  fake_now += 400ms;
  line.update(500, 1500);
  EXPECT_EQ(t.received(), "\rtraces/kiv.7.kivhdr: 25% of data read, 2000 memory records/s, 0:00 elapsed");

  // A shorter text blanks what the longer one left.
  const std::string longest = "traces/kiv.7.kivhdr: 25% of data read, 2000 memory records/s, 0:00 elapsed";
  fake_now += 59s;
  line.update(2000, 1500);
  const std::string shorter = "traces/kiv.7.kivhdr: 100% of data read, 16 memory records/s, 0:59 elapsed";
  EXPECT_EQ(t.received(), "\r" + shorter + std::string(longest.size() - shorter.size(), ' '));
  fake_now += 3723s;
  line.update(2000, 1500);
  const std::string hours = "traces/kiv.7.kivhdr: 100% of data read, 0 memory records/s, 1:03:02 elapsed";
  EXPECT_EQ(t.received(), "\r" + hours);

  line.erase();
  EXPECT_EQ(t.received(), "\r" + std::string(hours.size(), ' ') + "\r");
  line.erase();
  EXPECT_EQ(t.received(), "") << "erasing twice writes nothing";
}

TEST(ProgressLine, FitsTheTerminalAndWaitsForTheEndOfOtherOutputsLine) {
  terminal t(30);
  fake_now = progress_line::clock::time_point{};
  progress_line line(t.slave, read_fake_clock);
  line.begin("a/rather/long/path/kiv.4242.kivhdr", 0, 0);
  EXPECT_EQ(t.received(), "\ra/rather/long/path/kiv.4242.k") << "29 characters: the line never wraps";

  line.erase();
  EXPECT_EQ(t.received(), "\r" + std::string(29, ' ') + "\r");
  line.note_output('x');  // a line of other output has begun
  fake_now += 1s;
  line.update(0, 0);
  EXPECT_EQ(t.received(), "");
  line.note_output('\n');
  fake_now += 1s;
  line.update(0, 0);
  EXPECT_NE(t.received(), "");
}

// ---- the kiv program -----------------------------------------------------

constexpr const char* runid = "run";
// Enough records for the event loop to report several times.
constexpr int allocations = 5000;

void write_trace(const fs::path& dir) {
  kivw::trace_session s(kivw::deterministic_options(dir.string(), runid, 1234));
  s.reserve_id(10, 64, 0x4000, "file.c:12", 1, "general heap");
  for (int i = 0; i < allocations; ++i) {
    s.malloc_wf(10, 0, 0x1000 + 0x40 * i, 24, 32, 0x4010, "file.c:40");
    // An address allocated twice: a notice on standard error now and then.
    if (i % 1000 == 0) s.malloc_wf(10, 0, 0x1000 + 0x40 * i, 24, 32, 0x4010, "file.c:40");
  }
  s.close();
}

struct pty_result {
  int status = -1;
  std::string terminal;
};

// Runs kiv in dir with standard error on a raw terminal; standard output
// goes to out_file, or to the terminal as well when out_file is empty.
pty_result run_on_terminal(const fs::path& dir, const std::vector<std::string>& args, const std::string& out_file) {
  std::vector<std::string> words{KIV_BINARY};
  words.insert(words.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& w : words) argv.push_back(w.data());
  argv.push_back(nullptr);
  termios raw{};
  ::cfmakeraw(&raw);
  winsize ws{};
  ws.ws_col = 200;
  ws.ws_row = 24;
  int master = -1;
  const pid_t child = ::forkpty(&master, nullptr, &raw, &ws);
  if (child < 0) throw std::runtime_error("forkpty");
  if (child == 0) {
    if (!out_file.empty()) {
      const int out = ::open(out_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      if (out < 0 || ::dup2(out, STDOUT_FILENO) < 0) ::_exit(127);
    }
    if (::chdir(dir.c_str()) != 0) ::_exit(127);
    ::execv(argv[0], argv.data());
    ::_exit(127);
  }
  pty_result r;
  r.terminal = drain(master);
  ::close(master);
  int wstatus = 0;
  ::waitpid(child, &wstatus, 0);
  r.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : -1;
  return r;
}

std::vector<std::string> sorted_lines(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t pos = 0;
  while (pos < text.size()) {
    const std::size_t end = std::min(text.find('\n', pos), text.size());
    lines.push_back(text.substr(pos, end - pos));
    pos = end + 1;
  }
  std::sort(lines.begin(), lines.end());
  return lines;
}

class ProgressOnTerminal : public ::testing::Test {
 protected:
  kivtest::scratch_dir scratch_{"kiv_progress"};
  fs::path redirected_ = scratch_.path() / "redirected";
  fs::path on_terminal_ = scratch_.path() / "terminal";
  kivtest::program_result plain_;

  void SetUp() override {
    for (const fs::path& d : {redirected_, on_terminal_}) {
      fs::create_directories(d);
      write_trace(d);
    }
    kivtest::program_run run{{"-R", runid}, redirected_.string(), {}};
    plain_ = kivtest::run_program(KIV_BINARY, run);
    ASSERT_EQ(plain_.status, 0) << plain_.err;
  }

  // The tables of both runs are the same.
  void expect_same_tables() {
    for (const auto& e : fs::directory_iterator(redirected_ / runid)) {
      const fs::path twin = on_terminal_ / runid / e.path().filename();
      EXPECT_EQ(kivtest::read_file(twin), kivtest::read_file(e.path())) << twin;
    }
  }
};

TEST_F(ProgressOnTerminal, StandardErrorOnATerminalShowsTheLineAndEndsAsARedirectedRun) {
  const fs::path out_file = scratch_.path() / "stdout";
  const pty_result r = run_on_terminal(on_terminal_, {"-R", runid}, out_file.string());
  EXPECT_EQ(r.status, 0);
  std::vector<std::string> drawn;
  EXPECT_EQ(without_progress(r.terminal, drawn), plain_.err);
  ASSERT_FALSE(drawn.empty());
  EXPECT_EQ(drawn.front(), "run/kiv.1234.kivhdr: 0% of data read, 0 memory records/s, 0:00 elapsed");
  for (const std::string& line : drawn) EXPECT_TRUE(line.starts_with("run/kiv.1234.kivhdr: ")) << line;
  EXPECT_EQ(kivtest::read_file(out_file), plain_.out);
  EXPECT_EQ(plain_.err.find('\r'), std::string::npos) << "a redirected run shows no line";
  expect_same_tables();
}

TEST_F(ProgressOnTerminal, BothStreamsOnOneTerminalKeepEveryLine) {
  const pty_result r = run_on_terminal(on_terminal_, {"-R", runid}, "");
  EXPECT_EQ(r.status, 0);
  std::vector<std::string> drawn;
  const std::string shown = without_progress(r.terminal, drawn);
  EXPECT_FALSE(drawn.empty());
  EXPECT_EQ(sorted_lines(shown), sorted_lines(plain_.out + plain_.err));
  expect_same_tables();
}

}  // namespace
