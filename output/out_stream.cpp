#include "output/out_stream.h"

#include <algorithm>
#include <cerrno>
#include <iostream>
#include <set>
#include <utility>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace out_stream_detail {

namespace {

constexpr four_digit_tables make_four_digit_tables() {
  four_digit_tables t{};
  for (std::uint32_t v = 0; v < e4; ++v) {
    const char digits[4] = {static_cast<char>('0' + v / 1000), static_cast<char>('0' + v / 100 % 10),
                            static_cast<char>('0' + v / 10 % 10), static_cast<char>('0' + v % 10)};
    const unsigned n = 1u + (v > 9) + (v > 99) + (v > 999);
    t.lead_length[v] = static_cast<std::uint8_t>(n);
    for (unsigned i = 0; i < 4; ++i) {
      t.full[v][i] = digits[i];
      t.lead[v][i] = i < n ? digits[4 - n + i] : '\0';
    }
  }
  return t;
}

}  // namespace

constexpr four_digit_tables four_digits = make_four_digit_tables();

char* write_nine_or_more(char* out, std::uint64_t v) {
  constexpr std::uint64_t e16 = e8 * e8;
  if (v < e16) return write_eight(write_below_e8(out, static_cast<std::uint32_t>(v / e8)), static_cast<std::uint32_t>(v % e8));
  // Twenty digits at most: v / 10^16 is below 10^4.
  char* p = write_below_e4(out, static_cast<std::uint32_t>(v / e16));
  p = write_eight(p, static_cast<std::uint32_t>(v / e8 % e8));
  return write_eight(p, static_cast<std::uint32_t>(v % e8));
}

}  // namespace out_stream_detail

namespace {
// Head of the list of open streams (single-threaded program).
out_stream* open_streams = nullptr;
constexpr mode_t file_mode = 0666;
// Files that stopped taking bytes, by the path they were opened with.
std::set<std::string> cut_files;
}  // namespace

out_stream::~out_stream() { close(); }

bool out_stream::open(const std::string& path, bool truncate) {
  close();
  used_ = 0;
  file_pos_ = 0;
  failed_ = false;
  error_.clear();
  path_ = path;
  const int flags = O_WRONLY | O_CREAT | O_CLOEXEC | (truncate ? O_TRUNC : O_APPEND);
  fd_ = ::open(path.c_str(), flags, file_mode);
  if (fd_ < 0) {
    fail("open");
    return false;
  }
  struct stat st {};
  if (!truncate && ::fstat(fd_, &st) == 0) file_pos_ = static_cast<std::uint64_t>(st.st_size);
  link();
  // A file cut short earlier in the program (the next conversion of a
  // directory run appends to the same tables) takes no more rows: they
  // would follow a cut row. It has been reported already.
  if (truncate) {
    cut_files.erase(path);
  } else if (cut_files.contains(path)) {
    failed_ = true;
  }
  return true;
}

void out_stream::close() {
  if (fd_ < 0) {
    used_ = 0;
    return;
  }
  flush();
  unlink();
  if (::close(fd_) != 0) lose("close");
  fd_ = -1;
}

// The write position counts every byte given to the stream, also after a
// failed write, so that a size-limited table starts its next file where it
// would have anyway.
void out_stream::flush() {
  if (fd_ >= 0 && !failed_) write_out(buf_.get(), used_);
  if (fd_ >= 0) file_pos_ += used_;
  used_ = 0;
}

// Once a write fails nothing more is written: a later write that happened
// to fit (space freed meanwhile) would leave a gap inside the file.
void out_stream::write_out(const char* p, std::size_t left) {
  while (left > 0) {
    const ssize_t n = ::write(fd_, p, left);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      // A write of nothing sets no error number of its own.
      if (n == 0) errno = EIO;
      lose("write");
      return;
    }
    p += n;
    left -= static_cast<std::size_t>(n);
  }
}

out_stream& out_stream::write_slow(const char* data, std::size_t n) {
  while (n > 0) {
    if (used_ == capacity_) make_room();
    const std::size_t chunk = std::min(n, capacity_ - used_);
    std::memcpy(buf_.get() + used_, data, chunk);
    used_ += chunk;
    data += chunk;
    n -= chunk;
  }
  return *this;
}

void out_stream::make_room() {
  if (capacity_ >= buffer_size) {
    flush();
    return;
  }
  const std::size_t grown = capacity_ == 0 ? initial_capacity : capacity_ * 2;
  auto bigger = std::make_unique_for_overwrite<char[]>(grown);
  if (used_ != 0) std::memcpy(bigger.get(), buf_.get(), used_);
  buf_ = std::move(bigger);
  capacity_ = grown;
}

void out_stream::make_room_for(std::size_t n) {
  while (n > capacity_ - used_ && capacity_ < buffer_size) make_room();
  if (n <= capacity_ - used_) return;
  flush();
  if (n <= capacity_) return;
  // A row longer than the whole buffer (a very long text) gets a buffer of
  // its own size; it stays that large for the rest of the file.
  auto bigger = std::make_unique_for_overwrite<char[]>(n);
  buf_ = std::move(bigger);
  capacity_ = n;
}

void out_stream::fail(const char* what) {
  if (!failed_) error_ = std::string(what) + ": " + std::strerror(errno);
  failed_ = true;
  output_lost = true;
}

void out_stream::lose(const char* what) {
  if (failed_) return;
  const int err = errno;
  fail(what);
  cut_files.insert(path_);
  std::cerr << "kiv: cannot write " << path_ << " (" << std::strerror(err) << "); the file is incomplete\n";
}

void out_stream::flush_all() {
  for (out_stream* s = open_streams; s != nullptr; s = s->next_) s->flush();
}

void out_stream::close_all() {
  while (open_streams != nullptr) open_streams->close();
}

void out_stream::link() {
  next_ = open_streams;
  prev_ = nullptr;
  if (open_streams != nullptr) open_streams->prev_ = this;
  open_streams = this;
}

void out_stream::unlink() {
  if (prev_ != nullptr) prev_->next_ = next_;
  else open_streams = next_;
  if (next_ != nullptr) next_->prev_ = prev_;
  prev_ = next_ = nullptr;
}
