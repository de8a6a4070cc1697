#pragma once

#include <bit>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <type_traits>

// Decimal formatting of integers, the innermost loop of every conversion (a
// "memory" row holds some ninety numbers). Digits are produced two at a time
// from a table, in 32-bit arithmetic wherever the value allows it, straight
// into the output buffer after its length has been computed.
namespace out_stream_detail {

inline constexpr char digit_pairs[] =
    "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
    "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
    "8081828384858687888990919293949596979899";

// Number of decimal digits of v (1 for 0).
inline unsigned decimal_length(std::uint64_t v) {
  static constexpr std::uint64_t pow10[] = {1ull,
                                            10ull,
                                            100ull,
                                            1000ull,
                                            10000ull,
                                            100000ull,
                                            1000000ull,
                                            10000000ull,
                                            100000000ull,
                                            1000000000ull,
                                            10000000000ull,
                                            100000000000ull,
                                            1000000000000ull,
                                            10000000000000ull,
                                            100000000000000ull,
                                            1000000000000000ull,
                                            10000000000000000ull,
                                            100000000000000000ull,
                                            1000000000000000000ull,
                                            10000000000000000000ull};
  // bit_width * log10(2), rounded down, is the length or one less.
  constexpr unsigned log10_2_num = 1233;
  constexpr unsigned log10_2_shift = 12;
  const std::uint64_t w = v | 1;
  const unsigned t = (static_cast<unsigned>(std::bit_width(w)) * log10_2_num) >> log10_2_shift;
  return t + (w >= pow10[t] ? 1u : 0u);
}

// Writes the digits of v so that they end just before end.
inline void write_digits32(char* end, std::uint32_t v) {
  while (v >= 100) {
    const std::uint32_t pair = v % 100;
    v /= 100;
    end -= 2;
    std::memcpy(end, digit_pairs + 2 * pair, 2);
  }
  if (v >= 10) std::memcpy(end - 2, digit_pairs + 2 * v, 2);
  else end[-1] = static_cast<char>('0' + v);
}

inline constexpr std::uint64_t ascii_zeros = 0x3030303030303030ull;

// The eight decimal digits of v < 10^8, leading zeros included, as eight
// byte lanes (values 0 to 9) in memory order (little-endian hosts): the
// four-digit halves, their digit pairs and the pairs' digits are split in
// parallel lanes of one 64-bit word, by multiplications with reciprocals
// that are exact below 10^4 and 10^2.
inline std::uint64_t eight_digit_lanes(std::uint32_t v) {
  constexpr std::uint64_t div100_mul = 10486;
  constexpr int div100_shift = 20;
  constexpr std::uint64_t div10_mul = 103;
  constexpr int div10_shift = 10;
  std::uint64_t x = (v / 10000) | (static_cast<std::uint64_t>(v % 10000) << 32);
  const std::uint64_t hundreds = ((x * div100_mul) >> div100_shift) & 0x0000007F0000007Full;
  x = hundreds | ((x - hundreds * 100) << 16);
  const std::uint64_t tens = ((x * div10_mul) >> div10_shift) & 0x000F000F000F000Full;
  return tens | ((x - tens * 10) << 8);
}

// Writes the last n (1 to 8) digits of v < 10^8 at out; may store up to
// eight bytes (the caller leaves room).
inline void write_eight(char* out, std::uint32_t v, unsigned n) {
  const std::uint64_t digits = (eight_digit_lanes(v) + ascii_zeros) >> (8 * (8 - n));
  std::memcpy(out, &digits, sizeof digits);
}

// Writes v < 10^8 without leading zeros; stores eight bytes. The leading
// zeros are the low zero lanes, counted with one instruction: no length
// computation and no branch, whatever the magnitude.
inline char* write_below_e8(char* out, std::uint32_t v) {
  constexpr std::uint64_t last_lane_bit = std::uint64_t{1} << 56;  // the last digit always counts
  const std::uint64_t lanes = eight_digit_lanes(v);
  const unsigned zeros = static_cast<unsigned>(std::countr_zero(lanes | last_lane_bit)) / 8;
  const std::uint64_t digits = (lanes >> (8 * zeros)) + ascii_zeros;
  std::memcpy(out, &digits, sizeof digits);
  return out + (8 - zeros);
}

// Writes v at out; returns the end of the digits. Stores up to eight bytes
// beyond the first digit (room that max_integer_chars reserves).
inline char* write_decimal(char* out, std::uint64_t v) {
  constexpr std::uint64_t e8 = 100000000;
  constexpr std::uint64_t e16 = e8 * e8;
  if constexpr (std::endian::native != std::endian::little) {
    char* const end = out + decimal_length(v);
    char* p = end;
    while (v > UINT32_MAX) {
      p -= 2;
      std::memcpy(p, digit_pairs + 2 * (v % 100), 2);
      v /= 100;
    }
    write_digits32(p, static_cast<std::uint32_t>(v));
    return end;
  }
  // Nearly every field of a row is below 10^8.
  if (v < e8) return write_below_e8(out, static_cast<std::uint32_t>(v));
  if (v < e16) {
    char* const p = write_below_e8(out, static_cast<std::uint32_t>(v / e8));
    write_eight(p, static_cast<std::uint32_t>(v % e8), 8);
    return p + 8;
  }
  char* const end = out + decimal_length(v);
  write_digits32(end - 16, static_cast<std::uint32_t>(v / e16));
  write_eight(end - 16, static_cast<std::uint32_t>(v / e8 % e8), 8);
  write_eight(end - 8, static_cast<std::uint32_t>(v % e8), 8);
  return end;
}

// Sign and twenty digits, and room for write_decimal's eight-byte stores.
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
