#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace kivw {

enum class byte_order { little, big };

// Builds record payloads (or any byte sequence) in a declared byte order.
// Integers are written with exactly `width` bytes: wider than 8 pads with
// sign (or zero) bytes, narrower keeps the low-order bytes. Tests use it to
// build payloads for raw records.
class payload_builder {
 public:
  explicit payload_builder(byte_order order = byte_order::little) : order_(order) {}

  payload_builder& put_uint(std::uint64_t value, int width);
  // Signed values are sign-extended when the width exceeds 8 bytes.
  payload_builder& put_int(std::int64_t value, int width);
  // The characters followed by one zero byte.
  payload_builder& put_string(std::string_view text);
  payload_builder& put_bytes(std::string_view bytes);
  // Overwrites `width` bytes at `offset` (already written) with `value`.
  void patch_uint(std::size_t offset, std::uint64_t value, int width);

  const std::string& bytes() const { return bytes_; }
  std::size_t size() const { return bytes_.size(); }
  void clear() { bytes_.clear(); }
  byte_order order() const { return order_; }

 private:
  void put(std::uint64_t value, int width, bool negative);

  byte_order order_;
  std::string bytes_;
};

}  // namespace kivw
