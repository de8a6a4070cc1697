#include "recorder/record_encoder.h"

#include <cstring>

namespace kivrec {

record_encoder& record_encoder::begin(char tag) {
  buffer_[0] = static_cast<std::uint8_t>(tag);
  size_ = frame_size;
  return *this;
}

record_encoder& record_encoder::string(std::string_view text) {
  const std::size_t room = capacity - size_ - 1;
  const std::size_t n = text.size() < room ? text.size() : room;
  std::memcpy(buffer_ + size_, text.data(), n);
  size_ += n;
  buffer_[size_++] = 0;
  return *this;
}

void record_encoder::finish() {
  const std::size_t length = size_ - frame_size;
  buffer_[1] = static_cast<std::uint8_t>(length & 0xff);
  buffer_[2] = static_cast<std::uint8_t>(length >> 8);
}

}  // namespace kivrec
