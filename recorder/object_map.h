#pragma once

#include <cstddef>
#include <cstdint>

#include "recorder/stack_file_format.h"
#include "recorder/trace_stream.h"

struct dl_phdr_info;

namespace kivrec {

// A loaded object as the recorder saw it: where its code lies and what
// names it after the program ended (path and build-id).
struct loaded_object {
  struct range {
    std::uint64_t start;
    std::uint64_t end;
  };
  std::uint32_t index = 0;
  std::uint32_t first_generation = 0;
  std::uint32_t end_generation = 0;  // 0 while it is loaded
  std::uint64_t load_bias = 0;
  range ranges[stack_format::max_ranges] = {};
  std::uint16_t range_count = 0;
  std::uint8_t build_id[stack_format::max_build_id] = {};
  std::uint8_t build_id_size = 0;
  // The C library, the C++ runtime and its unwinder: malloc ids look past them.
  bool runtime = false;
  bool main_program = false;
  char path[path_capacity] = {};
};

// Told about every object that appears or goes away, in that order.
struct object_sink {
  void (*appeared)(void* context, const loaded_object& object);
  void (*went_away)(void* context, const loaded_object& object);
  void* context;
};

// The objects of the process, from the dynamic loader's list, and which
// one holds a code address. A generation counts the unloads seen: an
// address means the same code for as long as the generation stays. Kept
// in memory mapped from the system; used under the recorder's lock.
class object_map {
 public:
  static constexpr std::uint32_t none = UINT32_MAX;
  static constexpr std::uint32_t capacity = 4096;

  constexpr object_map() = default;
  object_map(const object_map&) = delete;
  object_map& operator=(const object_map&) = delete;

  // The loaded object holding `address`, or `none`.
  std::uint32_t find(std::uint64_t address) const;
  const loaded_object& object(std::uint32_t index) const { return objects_[index]; }
  std::uint32_t count() const { return count_; }
  std::uint32_t generation() const { return generation_; }

  // Reads the loader's list again when it changed since the last time
  // (or always, with `force`) and tells `sink` what appeared and went
  // away. Calls into the loader, which takes only its list lock.
  void refresh(const object_sink& sink, bool force = false);
  // Tells `sink` about every loaded object (a new trace file).
  void announce(const object_sink& sink) const;

  // Used by the loader callback.
  void seen(const ::dl_phdr_info& info);
  bool unchanged(unsigned long long adds, unsigned long long subs);

 private:
  struct indexed_range {
    std::uint64_t start;
    std::uint64_t end;
    std::uint32_t index;
  };
  static constexpr std::size_t range_capacity = capacity * stack_format::max_ranges;

  bool reserve();
  std::uint32_t match(const ::dl_phdr_info& info) const;
  void rebuild_ranges();

  loaded_object* objects_ = nullptr;
  bool* seen_ = nullptr;  // per object, during a refresh
  indexed_range* ranges_ = nullptr;  // of loaded objects, by start address
  std::size_t range_count_ = 0;
  std::uint32_t count_ = 0;
  std::uint32_t generation_ = 0;
  std::uint32_t first_new_ = 0;  // objects from here on appeared in this refresh
  unsigned long long adds_ = 0;
  unsigned long long subs_ = 0;
  bool scanned_ = false;
};

}  // namespace kivrec
