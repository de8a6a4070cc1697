#include "recorder/text_buffer.h"

#include <cstring>

namespace kivrec {

text_buffer& text_buffer::text(std::string_view s) {
  std::size_t room = capacity_ - size_;
  std::size_t n = s.size();
  if (n > room) {
    n = room;
    overflowed_ = true;
  }
  std::memcpy(data_ + size_, s.data(), n);
  size_ += n;
  return *this;
}

text_buffer& text_buffer::number(std::uint64_t value) {
  char digits[20];
  std::size_t n = 0;
  do {
    digits[sizeof digits - ++n] = static_cast<char>('0' + value % 10);
    value /= 10;
  } while (value != 0);
  return text(std::string_view(digits + sizeof digits - n, n));
}

text_buffer& text_buffer::signed_number(std::int64_t value) {
  if (value >= 0) return number(static_cast<std::uint64_t>(value));
  character('-');
  return number(0 - static_cast<std::uint64_t>(value));
}

text_buffer& text_buffer::hex(std::uint64_t value) {
  static constexpr char digit_chars[] = "0123456789abcdef";
  char digits[16];
  std::size_t n = 0;
  do {
    digits[sizeof digits - ++n] = digit_chars[value & 0xf];
    value >>= 4;
  } while (value != 0);
  return text(std::string_view(digits + sizeof digits - n, n));
}

text_buffer& text_buffer::escaped(std::string_view s) {
  for (char c : s) {
    switch (c) {
      case '&': text("&amp;"); break;
      case '<': text("&lt;"); break;
      case '>': text("&gt;"); break;
      case '"': text("&quot;"); break;
      default:
        // Control characters are not allowed in an XML 1.0 document.
        character(static_cast<unsigned char>(c) < ' ' ? '?' : c);
    }
  }
  return *this;
}

const char* text_buffer::c_str() {
  if (capacity_ == 0) return "";
  if (size_ == capacity_) {
    --size_;
    overflowed_ = true;
  }
  data_[size_] = '\0';
  return data_;
}

std::string_view base_name(std::string_view path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string_view::npos) return path;
  return std::string_view(path.data() + slash + 1, path.size() - slash - 1);
}

}  // namespace kivrec
