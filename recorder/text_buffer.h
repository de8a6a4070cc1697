#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace kivrec {

// Text built into storage the caller owns: no allocation, so it can be used
// inside the allocator hooks. Text that does not fit is cut off and the
// buffer remembers that it overflowed.
class text_buffer {
 public:
  constexpr text_buffer(char* storage, std::size_t capacity) : data_(storage), capacity_(capacity) {}

  text_buffer& text(std::string_view s);
  text_buffer& character(char c) { return text(std::string_view(&c, 1)); }
  text_buffer& number(std::uint64_t value);
  text_buffer& signed_number(std::int64_t value);
  // Lower-case hexadecimal without prefix.
  text_buffer& hex(std::uint64_t value);
  // `s` with &, <, > and " replaced by their XML entities and control
  // characters by "?".
  text_buffer& escaped(std::string_view s);

  std::string_view view() const { return {data_, size_}; }
  std::size_t size() const { return size_; }
  bool overflowed() const { return overflowed_; }
  void clear() {
    size_ = 0;
    overflowed_ = false;
  }
  // The text with a terminating zero byte (cut by one character when full).
  const char* c_str();

 private:
  char* data_;
  std::size_t capacity_;
  std::size_t size_ = 0;
  bool overflowed_ = false;
};

// The last path component of `path`.
std::string_view base_name(std::string_view path);

}  // namespace kivrec
