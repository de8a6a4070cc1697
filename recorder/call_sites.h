#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "recorder/block_table.h"
#include "recorder/elf_symbols.h"
#include "recorder/function_list.h"
#include "recorder/text_buffer.h"

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
inline constexpr std::size_t location_capacity = 512;

// What the dynamic loader says about a code address. Asked for outside the
// recorder's lock: the loader takes its own lock, and a thread inside the
// loader may be waiting in an allocation for ours.
struct code_address {
  std::uint64_t address = 0;
  const void* object = nullptr;   // the loader's link map; null outside any object
  std::uint64_t load_bias = 0;
  const char* object_path = nullptr;
  const char* symbol = nullptr;   // nearest exported symbol, if any
  std::uint64_t symbol_address = 0;
};
code_address ask_loader(std::uint64_t address);

// One loaded object that called the allocator or whose functions ran.
struct traced_object {
  const void* link_map = nullptr;
  std::uint16_t id = 0;    // malloc id
  std::uint64_t load_bias = 0;
  bool has_symbols = false;
  bool flow_announced = false;  // its object and function records are written
  char name[256] = {};
  elf_symbols symbols;
  function_list functions;

  // Its id in call-flow records.
  std::uint16_t flow_id() const { return id == main_program_id ? main_object_id : id; }
};

// A call site once it is known: the malloc id of its object, and whether
// it lies in a function of the C++ standard library instantiated in the
// object (std::allocator<T>::allocate, std::vector<T>::_M_realloc_insert),
// whose callers are the sites to record. Its location text is written
// when the site is added.
struct call_site {
  std::uint16_t id = 0;
  bool in_standard_library = false;
};

// True for the mangled name of a function in namespace std or __gnu_cxx.
bool standard_library_name(std::string_view mangled);

// Call sites (return addresses into the program) with their objects and
// location texts "object:function+0xoffset". Used under the recorder's lock.
class call_sites {
 public:
  constexpr call_sites() = default;

  void set_program_name(const char* name);
  bool find(std::uint64_t address, call_site* site) const;
  // Registers a site from what the loader said; `text` receives its
  // location text.
  call_site add(const code_address& where, text_buffer& text);

  // The object behind an id (for its 'R' record); null for the ids that
  // stand for no object.
  traced_object* object_of(std::uint16_t id);
  // Position (below 512) of the object whose flow id is `flow_id`.
  std::size_t index_of(std::uint16_t flow_id) const;
  // The object of a code address, registered on first sight; null outside
  // any object.
  traced_object* object_for(const code_address& where);
  bool reserved(std::uint16_t id) const { return id < max_ids && reserved_[id]; }
  void set_reserved(std::uint16_t id) {
    if (id < max_ids) reserved_[id] = true;
  }
  const char* program_name() const { return program_name_; }

  // A new trace (forked child, new image): every site and id is announced again.
  void forget_announcements();

 private:
  static constexpr std::size_t max_objects = 512;
  static constexpr std::uint16_t max_ids = first_library_id + max_objects;
  static_assert(max_ids <= block_table::id_limit, "ids are kept in the block table");

  // Writes the text and tells whether the function is the standard library's.
  bool location_text(const code_address& where, traced_object* object, text_buffer& text);

  block_table sites_;  // address -> id, colour 1 when in the standard library
  traced_object objects_[max_objects];
  std::size_t object_count_ = 0;
  bool reserved_[max_ids] = {};
  char program_name_[256] = {};
};

}  // namespace kivrec
