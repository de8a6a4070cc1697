#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace kivrec {

// Width in bytes of every integer element the recorder declares.
inline constexpr int integer_width = 4;

// Encodes one framed record (tag, 2-byte little-endian payload length,
// payload) into a fixed buffer: integers 4 bytes, addresses 4 or 8 bytes,
// strings zero-terminated. Strings that would overflow the buffer are cut.
class record_encoder {
 public:
  static constexpr std::size_t capacity = 4096;

  constexpr explicit record_encoder(int address_width = 8) : address_width_(address_width) {}

  int address_width() const { return address_width_; }
  void set_address_width(int width) { address_width_ = width; }

  record_encoder& begin(char tag);
  record_encoder& u32(std::uint32_t value) { return put4(value); }
  record_encoder& i32(std::int32_t value) { return put4(static_cast<std::uint32_t>(value)); }
  record_encoder& address(std::uint64_t value) {
    return address_width_ == 8 ? put8(value) : put4(static_cast<std::uint32_t>(value));
  }
  record_encoder& string(std::string_view text);
  // Fills in the length; the record is then bytes()[0, size()).
  void finish();

  const std::uint8_t* bytes() const { return buffer_; }
  std::size_t size() const { return size_; }

 private:
  static constexpr std::size_t frame_size = 3;
  // Little-endian stores of fixed width, inlined: they run for every
  // element of every record. On a little-endian machine each is one store
  // (a store byte by byte is gathered by the compiler into a vector that
  // then waits for the stores before it).
  template <typename T>
  record_encoder& put(T value) {
    if constexpr (std::endian::native == std::endian::little) {
      std::memcpy(buffer_ + size_, &value, sizeof value);
    } else {
      for (std::size_t i = 0; i < sizeof value; ++i) buffer_[size_ + i] = static_cast<std::uint8_t>(value >> (8 * i));
    }
    size_ += sizeof value;
    return *this;
  }
  record_encoder& put4(std::uint32_t value) { return put(value); }
  record_encoder& put8(std::uint64_t value) { return put(value); }

  int address_width_;
  std::size_t size_ = 0;
  std::uint8_t buffer_[capacity] = {};
};

}  // namespace kivrec
