#include "report/stack_names.h"

#include "runtime/stack_text.h"

namespace kivdb::report {

namespace {

constexpr std::string_view offset_mark = "+0x";

}  // namespace

bool is_named(const stack_frame& frame) {
  if (!frame.file.empty()) return true;
  const std::string_view function = frame.function;
  return !(function.starts_with(frame.object) && function.substr(frame.object.size()).starts_with(offset_mark));
}

std::size_t first_named(const std::vector<stack_frame>& stack) {
  for (std::size_t i = 0; i < stack.size(); ++i)
    if (is_named(stack[i])) return i;
  return 0;
}

std::string frame_name(const stack_frame& frame) {
  if (frame.line == 0 || frame.file.empty()) return frame.function;
  return frame.function + " (" + frame.file + ":" + std::to_string(frame.line) + ")";
}

std::string frame_text(const stack_frame& frame) {
  if (!is_named(frame)) return frame.function;
  return frame_name(frame) + " [" + frame.object + "]";
}

parsed_place place_of(std::string_view text) {
  parsed_place place;
  auto frames = kivstack::parse_stack(text);
  if (!frames || frames->empty()) {
    place.name = std::string(text);
    return place;
  }
  place.frames.reserve(frames->size());
  for (kivstack::frame& f : *frames)
    place.frames.push_back({std::move(f.function), std::move(f.file), f.line, std::move(f.object)});
  place.self = first_named(place.frames);
  place.name = frame_name(place.frames[place.self]);
  return place;
}

std::uint32_t place_catalog::function_of(std::uint32_t frame_index) {
  if (function_of_frame_.size() <= frame_index) function_of_frame_.resize(frame_index + 1, unknown_function);
  std::uint32_t& known = function_of_frame_[frame_index];
  if (known != unknown_function) return known;
  const stack_frame& frame = frames_[frame_index];
  std::string key = frame.function;
  key += '\0';
  key += frame.file;
  key += '\0';
  key += frame.object;
  const auto [it, fresh] = function_index_.try_emplace(std::move(key), static_cast<std::uint32_t>(functions_.size()));
  if (fresh) functions_.push_back({frame.function, frame.file, frame.object});
  known = it->second;
  return known;
}

// The self function first, then every other function of the stack once.
void place_catalog::list_functions(named_place& place, std::size_t self) {
  if (place.stack.empty()) return;
  ++stamp_;
  const auto add = [&](std::uint32_t f) {
    if (listed_in_.size() <= f) listed_in_.resize(f + 1, 0);
    if (listed_in_[f] == stamp_) return;
    listed_in_[f] = stamp_;
    place.functions.push_back(f);
  };
  add(function_of(place.stack[self]));
  for (const std::uint32_t frame : place.stack) add(function_of(frame));
}

const named_place& place_catalog::of(const std::string& text) {
  const auto found = places_.find(text);
  if (found != places_.end()) return found->second;
  parsed_place parsed = place_of(text);
  named_place place;
  place.name = std::move(parsed.name);
  place.stack.reserve(parsed.frames.size());
  for (const stack_frame& frame : parsed.frames) place.stack.push_back(frames_.intern(frame));
  list_functions(place, parsed.self);
  return places_.emplace(text, std::move(place)).first->second;
}

}  // namespace kivdb::report
