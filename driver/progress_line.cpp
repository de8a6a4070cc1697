#include "driver/progress_line.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <iostream>

namespace {

constexpr std::uint64_t percent = 100;
constexpr std::uint64_t ms_per_second = 1000;
constexpr std::int64_t seconds_per_minute = 60;
constexpr std::int64_t seconds_per_hour = 3600;

std::string elapsed_text(progress_line::clock::duration elapsed) {
  const std::int64_t s = std::chrono::duration_cast<std::chrono::seconds>(elapsed).count();
  char buf[32];
  if (s >= seconds_per_hour) {
    std::snprintf(buf, sizeof buf, "%lld:%02lld:%02lld", static_cast<long long>(s / seconds_per_hour),
                  static_cast<long long>(s / seconds_per_minute % seconds_per_minute),
                  static_cast<long long>(s % seconds_per_minute));
  } else {
    std::snprintf(buf, sizeof buf, "%lld:%02lld", static_cast<long long>(s / seconds_per_minute),
                  static_cast<long long>(s % seconds_per_minute));
  }
  return buf;
}

}  // namespace

progress_line::progress_line(int fd, now_function now) : fd_(fd), now_(now) {}

progress_line::~progress_line() { erase(); }

void progress_line::begin(const std::string& header, std::uint64_t data_bytes, std::uint64_t memory_records) {
  header_ = header;
  data_bytes_ = data_bytes;
  first_records_ = memory_records;
  started_ = now_();
  draw(text(0, memory_records, clock::duration::zero(), columns()));
}

void progress_line::update(std::uint64_t bytes_read, std::uint64_t memory_records) {
  const clock::time_point t = now_();
  if (t - drawn_at_ < redraw_interval) return;
  draw(text(bytes_read, memory_records, t - started_, columns()));
}

std::string progress_line::text(std::uint64_t bytes_read, std::uint64_t memory_records, clock::duration elapsed,
                                 unsigned columns) const {
  const std::uint64_t share = data_bytes_ == 0 ? 0 : std::min(bytes_read, data_bytes_) * percent / data_bytes_;
  const auto ms = static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count());
  const std::uint64_t records = memory_records - first_records_;
  const std::uint64_t rate = ms == 0 ? 0 : records * ms_per_second / ms;
  std::string line = header_ + ": " + std::to_string(share) + "% of data read, " + std::to_string(rate) +
                     " memory records/s, " + elapsed_text(elapsed) + " elapsed";
  // A line as wide as the terminal would wrap, and \r would then return
  // to its second half only.
  if (columns > 0 && line.size() >= columns) line.resize(columns - 1);
  return line;
}

// The new text covers the old one; what the old one had beyond it is
// blanked.
void progress_line::draw(const std::string& line) {
  if (mid_line_) return;
  // Output still buffered for the terminal goes out first, above the line.
  std::cout.flush();
  std::string bytes = "\r" + line;
  if (line.size() < shown_) bytes.append(shown_ - line.size(), ' ');
  put(bytes);
  shown_ = std::max(shown_, line.size());
  drawn_at_ = now_();
}

void progress_line::erase() {
  if (shown_ == 0) return;
  std::string bytes = "\r";
  bytes.append(shown_, ' ');
  bytes += '\r';
  put(bytes);
  shown_ = 0;
}

unsigned progress_line::columns() const {
  winsize ws{};
  if (::ioctl(fd_, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 0) return ws.ws_col;
  return default_columns;
}

// A terminal that does not take the line loses nothing of kiv's output:
// the failure is ignored.
void progress_line::put(const std::string& bytes) const {
  const char* p = bytes.data();
  std::size_t left = bytes.size();
  while (left > 0) {
    const ssize_t n = ::write(fd_, p, left);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    p += n;
    left -= static_cast<std::size_t>(n);
  }
}

// Sits in front of a terminal stream's buffer: erases the line before any
// byte passes. It keeps no buffer of its own, so bytes reach the wrapped
// buffer in the same calls and order as without it.
class terminal_progress::guarded_buf : public std::streambuf {
 public:
  guarded_buf(std::streambuf* target, progress_line* line) : target_(target), line_(line) {}
  std::streambuf* target() const { return target_; }

 protected:
  int_type overflow(int_type c) override {
    if (traits_type::eq_int_type(c, traits_type::eof())) return traits_type::not_eof(c);
    line_->erase();
    line_->note_output(traits_type::to_char_type(c));
    return target_->sputc(traits_type::to_char_type(c));
  }
  std::streamsize xsputn(const char* s, std::streamsize n) override {
    if (n <= 0) return 0;
    line_->erase();
    line_->note_output(s[n - 1]);
    return target_->sputn(s, n);
  }
  int sync() override { return target_->pubsync(); }

 private:
  std::streambuf* target_;
  progress_line* line_;
};

terminal_progress::terminal_progress() {
  if (::isatty(STDERR_FILENO) == 0) return;
  line_ = std::make_unique<progress_line>(STDERR_FILENO);
  err_buf_ = std::make_unique<guarded_buf>(std::cerr.rdbuf(), line_.get());
  std::cerr.rdbuf(err_buf_.get());
  if (::isatty(STDOUT_FILENO) != 0) {
    out_buf_ = std::make_unique<guarded_buf>(std::cout.rdbuf(), line_.get());
    std::cout.rdbuf(out_buf_.get());
  }
}

terminal_progress::~terminal_progress() {
  if (!line_) return;
  line_->erase();
  std::cout.flush();
  if (out_buf_) std::cout.rdbuf(out_buf_->target());
  std::cerr.rdbuf(err_buf_->target());
}
