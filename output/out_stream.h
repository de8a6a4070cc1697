#pragma once

#include <concepts>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <type_traits>

// Decimal formatting of integers, the innermost loop of every conversion (a
// "memory" row holds some ninety numbers). Numbers are cut into groups of
// four digits, each copied from a table as four bytes, straight into the
// output buffer: a field costs a few loads and stores, however many digits.
namespace out_stream_detail {

inline constexpr std::uint32_t e4 = 10000;
inline constexpr std::uint64_t e8 = std::uint64_t{e4} * e4;

// The texts of 0 to 9999: lead[v] holds the digits of v without leading
// zeros from its first byte on (zero bytes after them) and lead_length[v]
// their number, full[v] the four digits with leading zeros. A table lookup
// of the length is cheaper than comparing v with 9, 99 and 999 on the
// innermost path. Defined in out_stream.cpp.
struct four_digit_tables {
  char lead[e4][4];
  char full[e4][4];
  std::uint8_t lead_length[e4];
};
extern const four_digit_tables four_digits;

// Each writer stores four bytes per group, possibly past the digits (the
// caller leaves room), and returns the end of the digits.
inline char* write_below_e4(char* out, std::uint32_t v) {
  std::memcpy(out, four_digits.lead[v], 4);
  return out + four_digits.lead_length[v];
}

inline char* write_four(char* out, std::uint32_t v) {
  std::memcpy(out, four_digits.full[v], 4);
  return out + 4;
}

inline char* write_below_e8(char* out, std::uint32_t v) {
  if (v < e4) return write_below_e4(out, v);
  return write_four(write_below_e4(out, v / e4), v % e4);
}

// The eight digits of v < 10^8 with leading zeros.
inline char* write_eight(char* out, std::uint32_t v) { return write_four(write_four(out, v / e4), v % e4); }

// Writes v >= 10^8 at out, as write_decimal does. Such numbers are rare in a
// row (addresses), so their code stays out of line and every field's own
// inlined formatting stays small. Defined in out_stream.cpp.
char* write_nine_or_more(char* out, std::uint64_t v);

// Writes v at out; returns the end of the digits. Stores up to three bytes
// beyond them (room that max_integer_chars reserves).
inline char* write_decimal(char* out, std::uint64_t v) {
  if (v < e8) [[likely]] return write_below_e8(out, static_cast<std::uint32_t>(v));
  return write_nine_or_more(out, v);
}

// Sign and twenty digits, and room for write_decimal's four-byte stores.
inline constexpr std::size_t max_integer_chars = 24;

// Writes value in decimal at out (at most max_integer_chars bytes are
// touched); returns the end of the text.
template <std::integral T>
inline char* write_integer(char* out, T value) {
  std::uint64_t magnitude = static_cast<std::uint64_t>(value);
  if constexpr (std::is_signed_v<T>) {
    if (value < 0) {
      *out++ = '-';
      // Two's complement negation in unsigned arithmetic: the minimum
      // value has no positive counterpart in its own type.
      magnitude = 0 - magnitude;
    }
  }
  return write_decimal(out, magnitude);
}

}  // namespace out_stream_detail

// Buffered writer of one table file. Every CSV row goes through it, so it is
// built for speed: one large buffer, integers formatted by out_stream_detail,
// no locale and no flush per row. A stream that could not be opened swallows
// what is written to it (rows are lost, the conversion goes on).
//
// A file that stops taking bytes (disk full, file size limit, I/O error) is
// reported once on standard error and written no further: what reached the
// disk stays, an unbroken beginning of the file, and the conversion goes on.
// lost_output() tells the driver that some output is missing.
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
  // True once any stream of the program failed to open, write or close.
  static bool lost_output() { return output_lost; }

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
    used_ += static_cast<std::size_t>(out_stream_detail::write_integer(first, value) - first);
    return *this;
  }

  // The free part of the buffer, at least n bytes, for a writer that
  // formats rows in place (row_writer); commit() then takes the bytes
  // written up to a point in it. Nothing else may write to the stream in
  // between.
  struct free_space {
    char* first;
    char* last;
  };
  free_space reserve(std::size_t n) {
    if (n > capacity_ - used_) make_room_for(n);
    return {buf_.get() + used_, buf_.get() + capacity_};
  }
  void commit(const char* end) { used_ = static_cast<std::size_t>(end - buf_.get()); }

  // Flushes every open stream of the program (used before a fatal exit).
  static void flush_all();
  // Flushes and closes every open stream of the program, so that nothing is
  // left in a buffer or an open descriptor when the process aborts.
  static void close_all();

 private:
  static constexpr std::size_t max_integer_chars = out_stream_detail::max_integer_chars;
  static_assert(initial_capacity >= max_integer_chars && buffer_size % initial_capacity == 0);

  out_stream& write_slow(const char* data, std::size_t n);
  // Makes the buffer larger while it is below buffer_size, else flushes it;
  // afterwards at least max_integer_chars bytes are free.
  void make_room();
  // Grows or flushes the buffer until n bytes are free.
  void make_room_for(std::size_t n);
  void write_out(const char* p, std::size_t n);
  void fail(const char* what);
  // Records a failed write or close and reports the file as incomplete.
  void lose(const char* what);
  void link();
  void unlink();

  std::unique_ptr<char[]> buf_;
  std::size_t capacity_ = 0;
  std::size_t used_ = 0;
  std::uint64_t file_pos_ = 0;
  int fd_ = -1;
  bool failed_ = false;
  std::string error_;
  std::string path_;
  static inline bool output_lost = false;
  out_stream* prev_ = nullptr;
  out_stream* next_ = nullptr;
};
