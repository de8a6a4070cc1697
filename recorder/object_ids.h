#pragma once

#include <cstddef>
#include <cstdint>

#include "recorder/block_table.h"
#include "recorder/elf_symbols.h"
#include "recorder/function_list.h"
#include "recorder/object_map.h"

namespace kivrec {

// Malloc ids: the main program, callers outside any loaded object, then
// one id per shared library in the order the libraries first allocate.
// The main program's object in the call-flow records has an id of its own
// (the converter names an object after the malloc id of the same number,
// and the main program's malloc id carries the process's name).
inline constexpr std::uint16_t main_program_id = 1;
inline constexpr std::uint16_t outside_objects_id = 2;
inline constexpr std::uint16_t main_object_id = 3;
inline constexpr std::uint16_t first_library_id = 4;

// One loaded object that allocated or whose functions ran.
struct traced_object {
  std::uint16_t id = 0;  // malloc id
  std::uint64_t load_bias = 0;
  bool symbols_read = false;
  bool has_symbols = false;
  bool flow_announced = false;  // its object and function records are written
  const char* path = nullptr;   // the object map's
  elf_symbols symbols;
  function_list functions;

  // Its id in call-flow records.
  std::uint16_t flow_id() const { return id == main_program_id ? main_object_id : id; }
  // Reads its symbol table (for the call-flow records) on first use.
  bool load_symbols();
};

// The malloc ids of loaded objects, and which ids the trace has announced.
// Used under the recorder's lock.
class object_ids {
 public:
  constexpr object_ids() = default;
  object_ids(const object_ids&) = delete;
  object_ids& operator=(const object_ids&) = delete;

  // The traced object of a loaded object, registered on first sight;
  // null when there are too many.
  traced_object* object_for(const loaded_object& object);
  // The object behind an id (for its 'R' record); null for the ids that
  // stand for no object.
  const traced_object* object_of(std::uint16_t id) const;
  // Position (below max_objects) of the object whose flow id is `flow_id`.
  std::size_t index_of(std::uint16_t flow_id) const;
  bool reserved(std::uint16_t id) const { return id < max_ids && reserved_[id]; }
  void set_reserved(std::uint16_t id) {
    if (id < max_ids) reserved_[id] = true;
  }
  // A new trace (forked child, new image): every id is announced again.
  void forget_announcements();

 private:
  static constexpr std::size_t max_objects = 512;
  static constexpr std::uint16_t max_ids = first_library_id + max_objects;
  static_assert(max_ids <= block_table::id_limit, "ids are kept in the block table");
  static constexpr std::uint32_t map_capacity = object_map::capacity;

  traced_object objects_[max_objects];
  std::size_t count_ = 0;
  std::uint16_t by_loaded_[map_capacity] = {};  // loaded object index -> position + 1
  bool reserved_[max_ids] = {};
};

}  // namespace kivrec
