#pragma once

#include <concepts>
#include <cstddef>
#include <cstring>
#include <span>
#include <string>
#include <string_view>

#include "output/out_stream.h"

// Writes rows straight into an out_stream's buffer, for the widest and most
// frequent rows (a "memory" row holds about ninety numbers). It keeps its
// own cursor and end of free space, so a field costs one comparison of two
// pointers and the formatting, instead of a round trip through the stream's
// members; the stream takes the bytes when the writer goes out of scope.
// Nothing else may write to the stream while a row_writer is alive.
//
// fields() writes a run of numbers, each followed by the separator, with
// one check for room and the cursor in a register throughout.
class row_writer {
 public:
  // separator: what fields() and text_field() put after each field.
  // expected_bytes: the usual length of what will be written (a hint;
  // longer rows are fine).
  row_writer(out_stream& os, char separator, std::size_t expected_bytes = 0) : os_(os), sep_(separator) {
    refill(expected_bytes);
  }
  ~row_writer() { os_.commit(p_); }
  row_writer(const row_writer&) = delete;
  row_writer& operator=(const row_writer&) = delete;

  row_writer& operator<<(char c) {
    room(1);
    *p_++ = c;
    return *this;
  }
  row_writer& operator<<(std::string_view s) {
    room(s.size());
    copy(s);
    return *this;
  }
  row_writer& operator<<(const std::string& s) { return *this << std::string_view(s); }
  row_writer& operator<<(const char* s) { return *this << std::string_view(s); }

  template <std::integral T>
    requires(!std::same_as<T, char> && !std::same_as<T, bool>)
  row_writer& operator<<(T value) {
    room(out_stream_detail::max_integer_chars);
    p_ = out_stream_detail::write_integer(p_, value);
    return *this;
  }

  // Each value, then the separator.
  template <std::integral... T>
    requires((!std::same_as<T, char> && !std::same_as<T, bool>) && ...)
  row_writer& fields(T... values) {
    room(sizeof...(T) * (out_stream_detail::max_integer_chars + 1));
    char* p = p_;
    const char sep = sep_;
    ((p = out_stream_detail::write_integer(p, values), *p++ = sep), ...);
    p_ = p;
    return *this;
  }

  // The same for a run whose length is known only at run time.
  template <std::integral T>
    requires(!std::same_as<T, char> && !std::same_as<T, bool>)
  row_writer& fields(std::span<const T> values) {
    room(values.size() * (out_stream_detail::max_integer_chars + 1));
    char* p = p_;
    const char sep = sep_;
    for (const T v : values) {
      p = out_stream_detail::write_integer(p, v);
      *p++ = sep;
    }
    p_ = p;
    return *this;
  }

  // The text, then the separator, with one check for room.
  row_writer& text_field(std::string_view s) {
    room(s.size() + 1);
    copy(s);
    *p_++ = sep_;
    return *this;
  }

 private:
  // Copies s to the cursor; the caller made room.
  void copy(std::string_view s) {
    // An empty view may carry a null pointer, which memcpy must not see.
    if (!s.empty()) std::memcpy(p_, s.data(), s.size());
    p_ += s.size();
  }
  void room(std::size_t n) {
    if (static_cast<std::size_t>(end_ - p_) < n) [[unlikely]] refill(n);
  }
  void refill(std::size_t n) {
    if (p_ != nullptr) os_.commit(p_);
    const out_stream::free_space s = os_.reserve(n);
    p_ = s.first;
    end_ = s.last;
  }

  out_stream& os_;
  char sep_;
  char* p_ = nullptr;
  char* end_ = nullptr;
};
