#include "recorder/object_ids.h"

namespace kivrec {

bool traced_object::load_symbols() {
  if (!symbols_read) {
    symbols_read = true;
    has_symbols = symbols.load(path);
  }
  return has_symbols;
}

traced_object* object_ids::object_for(const loaded_object& object) {
  if (object.index < map_capacity && by_loaded_[object.index] != 0) return &objects_[by_loaded_[object.index] - 1];
  if (count_ == max_objects || object.index >= map_capacity) return nullptr;
  traced_object& o = objects_[count_];
  o.load_bias = object.load_bias;
  o.path = object.path;
  o.id = object.main_program ? main_program_id : static_cast<std::uint16_t>(first_library_id + count_);
  ++count_;
  by_loaded_[object.index] = static_cast<std::uint16_t>(count_);
  return &o;
}

std::size_t object_ids::index_of(std::uint16_t flow_id) const {
  for (std::size_t i = 0; i < count_; ++i)
    if (objects_[i].flow_id() == flow_id) return i;
  return 0;
}

const traced_object* object_ids::object_of(std::uint16_t id) const {
  for (std::size_t i = 0; i < count_; ++i)
    if (objects_[i].id == id || objects_[i].flow_id() == id) return &objects_[i];
  return nullptr;
}

void object_ids::forget_announcements() {
  for (bool& r : reserved_) r = false;
  for (std::size_t i = 0; i < count_; ++i) objects_[i].flow_announced = false;
}

}  // namespace kivrec
