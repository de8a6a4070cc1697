#include "report/stack_frame.h"

#include <functional>
#include <string_view>

namespace kivdb::report {

namespace {

std::uint64_t frame_hash(const stack_frame& f, std::uint32_t line) {
  const std::hash<std::string_view> text;
  std::uint64_t h = hash_index::mix(text(f.function) ^ line);
  h = hash_index::mix(h ^ text(f.file));
  return hash_index::mix(h ^ text(f.object));
}

}  // namespace

std::uint32_t frame_table::intern(const stack_frame& frame, std::uint32_t line) {
  const std::uint64_t hash = frame_hash(frame, line);
  const std::uint32_t found = index_.find(hash, [&](std::uint32_t i) {
    const stack_frame& f = frames_[i];
    return f.line == line && f.function == frame.function && f.file == frame.file &&
           f.object == frame.object;
  });
  if (found != hash_index::none) return found;
  const auto index = static_cast<std::uint32_t>(frames_.size());
  frames_.push_back({frame.function, frame.file, line, frame.object});
  index_.insert(hash, index);
  return index;
}

}  // namespace kivdb::report
