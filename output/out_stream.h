#pragma once

#include <charconv>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

// Buffered writer of one table file. Every CSV row goes through it, so it is
// built for speed: one large buffer, integers formatted with std::to_chars,
// no locale and no flush per row. A stream that could not be opened swallows
// what is written to it (rows are lost, the conversion goes on).
//
// Every open stream is registered, so that flush_all() can put everything on
// disk before the program stops on a fatal error.
//
// The buffer starts small and doubles up to buffer_size as rows arrive, so
// that the many tables of a run that get a handful of rows cost little
// memory; a busy table reaches the full size after a few rows.
class out_stream {
 public:
  static constexpr std::size_t buffer_size = std::size_t{1} << 19;
  static constexpr std::size_t initial_capacity = std::size_t{1} << 12;

  out_stream() = default;
  ~out_stream();
  out_stream(const out_stream&) = delete;
  out_stream& operator=(const out_stream&) = delete;

  // Opens path, truncating it when truncate is set, else appending (the file
  // is created when missing). The write position starts at the file's
  // current length. Returns whether the file is open; on failure error()
  // names the system error.
  bool open(const std::string& path, bool truncate);
  void close();
  void flush();
  bool is_open() const { return fd_ >= 0; }
  // False once opening, writing or closing failed.
  bool good() const { return !failed_; }
  const std::string& error() const { return error_; }

  // Bytes written so far, including what is still buffered.
  std::uint64_t tellp() const { return file_pos_ + used_; }

  out_stream& write(const char* data, std::size_t n) {
    if (n <= capacity_ - used_) {
      // An empty view may carry a null pointer, which memcpy must not see.
      if (n != 0) std::memcpy(buf_.get() + used_, data, n);
      used_ += n;
      return *this;
    }
    return write_slow(data, n);
  }

  out_stream& put(char c) {
    if (used_ == capacity_) make_room();
    buf_[used_++] = c;
    return *this;
  }

  out_stream& operator<<(char c) { return put(c); }
  out_stream& operator<<(std::string_view s) { return write(s.data(), s.size()); }
  out_stream& operator<<(const std::string& s) { return write(s.data(), s.size()); }
  out_stream& operator<<(const char* s) { return write(s, std::strlen(s)); }

  template <std::integral T>
    requires(!std::same_as<T, char> && !std::same_as<T, bool>)
  out_stream& operator<<(T value) {
    if (capacity_ - used_ < max_integer_chars) make_room();
    char* first = buf_.get() + used_;
    used_ += static_cast<std::size_t>(std::to_chars(first, first + max_integer_chars, value).ptr - first);
    return *this;
  }

  // Flushes every open stream of the program (used before a fatal exit).
  static void flush_all();
  // Flushes and closes every open stream of the program, so that nothing is
  // left in a buffer or an open descriptor when the process aborts.
  static void close_all();

 private:
  static constexpr std::size_t max_integer_chars = 24;
  static_assert(initial_capacity >= max_integer_chars && buffer_size % initial_capacity == 0);

  out_stream& write_slow(const char* data, std::size_t n);
  // Makes the buffer larger while it is below buffer_size, else flushes it;
  // afterwards at least max_integer_chars bytes are free.
  void make_room();
  void fail(const char* what);
  void link();
  void unlink();

  std::unique_ptr<char[]> buf_;
  std::size_t capacity_ = 0;
  std::size_t used_ = 0;
  std::uint64_t file_pos_ = 0;
  int fd_ = -1;
  bool failed_ = false;
  std::string error_;
  out_stream* prev_ = nullptr;
  out_stream* next_ = nullptr;
};
