#include "writer/payload_builder.h"

namespace kivw {

namespace {
constexpr int value_bytes = 8;
constexpr unsigned bits_per_byte = 8;
constexpr unsigned char sign_fill = 0xff;
}  // namespace

void payload_builder::put(std::uint64_t value, int width, bool negative) {
  if (width <= 0) return;
  const std::size_t start = bytes_.size();
  bytes_.resize(start + static_cast<std::size_t>(width));
  char* out = bytes_.data() + start;
  for (int i = 0; i < width; ++i) {
    // Byte i counted from the least significant end.
    const unsigned char b = i < value_bytes
                                ? static_cast<unsigned char>(value >> (bits_per_byte * static_cast<unsigned>(i)))
                                : (negative ? sign_fill : 0);
    const int pos = order_ == byte_order::little ? i : width - 1 - i;
    out[pos] = static_cast<char>(b);
  }
}

void payload_builder::patch_uint(std::size_t offset, std::uint64_t value, int width) {
  if (width <= 0 || offset + static_cast<std::size_t>(width) > bytes_.size()) return;
  payload_builder patch(order_);
  patch.put_uint(value, width);
  bytes_.replace(offset, static_cast<std::size_t>(width), patch.bytes_);
}

payload_builder& payload_builder::put_uint(std::uint64_t value, int width) {
  put(value, width, false);
  return *this;
}

payload_builder& payload_builder::put_int(std::int64_t value, int width) {
  put(static_cast<std::uint64_t>(value), width, value < 0);
  return *this;
}

payload_builder& payload_builder::put_string(std::string_view text) {
  bytes_.append(text);
  bytes_.push_back('\0');
  return *this;
}

payload_builder& payload_builder::put_bytes(std::string_view bytes) {
  bytes_.append(bytes);
  return *this;
}

}  // namespace kivw
