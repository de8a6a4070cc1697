#include "recorder/stack_file.h"

#include <cstring>

namespace kivrec {

bool stack_file::open(const char* path, int address_width) {
  buffered_ = 0;
  if (!file_.create(path, false)) return false;
  if (begin(stack_format::version_tag, 2 * sizeof(std::uint32_t))) {
    put32(stack_format::version);
    put32(static_cast<std::uint32_t>(address_width));
  }
  return true;
}

bool stack_file::begin(char tag, std::size_t payload) {
  const std::size_t size = stack_format::frame_bytes + payload;
  if (!file_.is_open() || size > buffer_capacity) return false;
  if (buffered_ + size > buffer_capacity) flush();
  buffer_[buffered_++] = static_cast<std::uint8_t>(tag);
  put32(static_cast<std::uint32_t>(payload));
  return true;
}

void stack_file::put(const void* bytes, std::size_t size) {
  std::memcpy(buffer_ + buffered_, bytes, size);
  buffered_ += size;
}

void stack_file::object(const loaded_object& o) {
  const std::size_t path_size = std::strlen(o.path);
  const std::size_t payload = 2 * sizeof(std::uint32_t) + sizeof(std::uint64_t) + sizeof(std::uint16_t) +
                              o.range_count * 2 * sizeof(std::uint64_t) + 1 + o.build_id_size + path_size;
  if (!begin(stack_format::object_tag, payload)) return;
  put32(o.index);
  put32(o.first_generation);
  put64(o.load_bias);
  put(&o.range_count, sizeof o.range_count);
  for (std::uint16_t r = 0; r < o.range_count; ++r) {
    put64(o.ranges[r].start);
    put64(o.ranges[r].end);
  }
  put(&o.build_id_size, 1);
  put(o.build_id, o.build_id_size);
  put(o.path, path_size);
}

void stack_file::unload(const loaded_object& o) {
  if (!begin(stack_format::unload_tag, 2 * sizeof(std::uint32_t))) return;
  put32(o.index);
  put32(o.end_generation);
}

void stack_file::stack(std::uint32_t key, std::uint32_t generation, const std::uint64_t* frames,
                       std::uint32_t count) {
  const auto frame_count = static_cast<std::uint16_t>(count);
  const std::size_t payload = 2 * sizeof(std::uint32_t) + sizeof frame_count + count * sizeof(std::uint64_t);
  if (!begin(stack_format::stack_tag, payload)) return;
  put32(key);
  put32(generation);
  put(&frame_count, sizeof frame_count);
  put(frames, count * sizeof(std::uint64_t));
}

void stack_file::flush() {
  if (buffered_ == 0 || !file_.is_open()) return;
  file_.write(buffer_, buffered_);
  buffered_ = 0;
}

void stack_file::close() {
  if (!file_.is_open()) return;
  flush();
  file_.close();
}

void stack_file::abandon() {
  file_.close();
  buffered_ = 0;
}

}  // namespace kivrec
