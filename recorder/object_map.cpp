#include "recorder/object_map.h"

#include <elf.h>
#include <link.h>
#include <unistd.h>

#include <cstring>
#include <string_view>

#include "recorder/system_memory.h"
#include "recorder/text_buffer.h"

namespace kivrec {

namespace {

constexpr std::string_view runtime_objects[] = {"libc.so", "libstdc++.so", "libgcc_s.so", "ld-linux"};
constexpr std::size_t note_alignment = 4;
constexpr char build_id_owner[] = "GNU";

bool is_runtime(std::string_view path) {
  const std::string_view name = base_name(path);
  for (const std::string_view prefix : runtime_objects)
    // Compared by hand: the library's comparisons must not reach into the
    // C++ runtime, which a C program does not load.
    if (name.size() >= prefix.size() && std::memcmp(name.data(), prefix.data(), prefix.size()) == 0) return true;
  return false;
}

std::size_t aligned(std::size_t size) { return (size + note_alignment - 1) & ~(note_alignment - 1); }

// The GNU build-id note of a loaded object, read from its mapped notes.
void read_build_id(const dl_phdr_info& info, loaded_object& o) {
  for (int i = 0; i < info.dlpi_phnum; ++i) {
    const ElfW(Phdr)& ph = info.dlpi_phdr[i];
    if (ph.p_type != PT_NOTE) continue;
    const auto* p = reinterpret_cast<const std::uint8_t*>(info.dlpi_addr + ph.p_vaddr);
    const std::uint8_t* end = p + ph.p_memsz;
    while (p + sizeof(ElfW(Nhdr)) <= end) {
      ElfW(Nhdr) note;
      std::memcpy(&note, p, sizeof note);
      const std::uint8_t* name = p + sizeof note;
      const std::uint8_t* desc = name + aligned(note.n_namesz);
      p = desc + aligned(note.n_descsz);
      if (p > end) break;
      if (note.n_type != NT_GNU_BUILD_ID || note.n_namesz != sizeof build_id_owner ||
          std::memcmp(name, build_id_owner, sizeof build_id_owner) != 0 || note.n_descsz > sizeof o.build_id)
        continue;
      std::memcpy(o.build_id, desc, note.n_descsz);
      o.build_id_size = static_cast<std::uint8_t>(note.n_descsz);
      return;
    }
  }
}

void read_ranges(const dl_phdr_info& info, loaded_object& o) {
  o.range_count = 0;
  for (int i = 0; i < info.dlpi_phnum && o.range_count < stack_format::max_ranges; ++i) {
    const ElfW(Phdr)& ph = info.dlpi_phdr[i];
    if (ph.p_type != PT_LOAD || (ph.p_flags & PF_X) == 0) continue;
    const std::uint64_t start = info.dlpi_addr + ph.p_vaddr;
    o.ranges[o.range_count++] = {start, start + ph.p_memsz};
  }
}

// The main program has no name in the loader's list.
void read_path(const dl_phdr_info& info, loaded_object& o) {
  if (info.dlpi_name != nullptr && info.dlpi_name[0] != '\0') {
    text_buffer path(o.path, sizeof o.path);
    path.text(info.dlpi_name).c_str();
    return;
  }
  const ssize_t n = ::readlink("/proc/self/exe", o.path, sizeof o.path - 1);
  o.path[n > 0 ? n : 0] = '\0';
  o.main_program = true;
}

std::uint64_t first_code_address(const dl_phdr_info& info) {
  for (int i = 0; i < info.dlpi_phnum; ++i) {
    const ElfW(Phdr)& ph = info.dlpi_phdr[i];
    if (ph.p_type == PT_LOAD && (ph.p_flags & PF_X) != 0) return info.dlpi_addr + ph.p_vaddr;
  }
  return 0;
}

struct scan_state {
  object_map* map;
  bool check_counters;  // stop at the first object when nothing changed
  bool first = true;
  bool unchanged = false;
};

int visit(dl_phdr_info* info, std::size_t size, void* data) {
  auto* scan = static_cast<scan_state*>(data);
  if (scan->first) {
    scan->first = false;
    const bool has_counters = size >= offsetof(dl_phdr_info, dlpi_subs) + sizeof info->dlpi_subs;
    if (has_counters && scan->map->unchanged(info->dlpi_adds, info->dlpi_subs) && scan->check_counters) {
      scan->unchanged = true;
      return 1;
    }
  }
  scan->map->seen(*info);
  return 0;
}

}  // namespace

bool object_map::reserve() {
  if (objects_ != nullptr) return true;
  objects_ = static_cast<loaded_object*>(map_memory(capacity * sizeof(loaded_object)));
  seen_ = static_cast<bool*>(map_memory(capacity * sizeof(bool)));
  ranges_ = static_cast<indexed_range*>(map_memory(range_capacity * sizeof(indexed_range)));
  return objects_ != nullptr && seen_ != nullptr && ranges_ != nullptr;
}

bool object_map::unchanged(unsigned long long adds, unsigned long long subs) {
  const bool same = scanned_ && adds == adds_ && subs == subs_;
  adds_ = adds;
  subs_ = subs;
  return same;
}

// A loaded object is the same as one seen before when it sits at the same
// place: two loaded objects never share code addresses.
std::uint32_t object_map::match(const dl_phdr_info& info) const {
  const std::uint64_t code = first_code_address(info);
  for (std::uint32_t i = 0; i < count_; ++i) {
    const loaded_object& o = objects_[i];
    if (o.end_generation != 0 || o.load_bias != info.dlpi_addr) continue;
    if (o.range_count == 0 ? code == 0 : o.ranges[0].start == code) return i;
  }
  return none;
}

void object_map::seen(const dl_phdr_info& info) {
  const std::uint32_t known = match(info);
  if (known != none) {
    seen_[known] = true;
    return;
  }
  if (count_ == capacity) return;
  loaded_object& o = objects_[count_];
  o = {};
  o.index = count_;
  o.load_bias = info.dlpi_addr;
  read_ranges(info, o);
  read_build_id(info, o);
  read_path(info, o);
  o.runtime = is_runtime(o.path);
  seen_[count_] = true;
  ++count_;
}

void object_map::refresh(const object_sink& sink, bool force) {
  if (!reserve()) return;
  for (std::uint32_t i = 0; i < count_; ++i) seen_[i] = false;
  first_new_ = count_;
  scan_state scan{this, !force};
  ::dl_iterate_phdr(visit, &scan);
  scanned_ = true;
  if (scan.unchanged) return;
  bool gone = false;
  for (std::uint32_t i = 0; i < first_new_; ++i) gone |= objects_[i].end_generation == 0 && !seen_[i];
  if (gone) ++generation_;
  for (std::uint32_t i = 0; i < first_new_; ++i) {
    if (objects_[i].end_generation != 0 || seen_[i]) continue;
    objects_[i].end_generation = generation_;
    sink.went_away(sink.context, objects_[i]);
  }
  for (std::uint32_t i = first_new_; i < count_; ++i) {
    objects_[i].first_generation = generation_;
    sink.appeared(sink.context, objects_[i]);
  }
  rebuild_ranges();
}

void object_map::announce(const object_sink& sink) const {
  for (std::uint32_t i = 0; i < count_; ++i)
    if (objects_[i].end_generation == 0) sink.appeared(sink.context, objects_[i]);
}

// The code ranges of the loaded objects, sorted by start (insertion sort:
// a refresh adds a handful to a list that is already sorted).
void object_map::rebuild_ranges() {
  range_count_ = 0;
  for (std::uint32_t i = 0; i < count_; ++i) {
    const loaded_object& o = objects_[i];
    if (o.end_generation != 0) continue;
    for (std::uint16_t r = 0; r < o.range_count && range_count_ < range_capacity; ++r) {
      const indexed_range entry{o.ranges[r].start, o.ranges[r].end, i};
      std::size_t at = range_count_++;
      while (at > 0 && ranges_[at - 1].start > entry.start) {
        ranges_[at] = ranges_[at - 1];
        --at;
      }
      ranges_[at] = entry;
    }
  }
}

std::uint32_t object_map::find(std::uint64_t address) const {
  std::size_t low = 0;
  std::size_t high = range_count_;
  while (low < high) {
    const std::size_t mid = (low + high) / 2;
    if (ranges_[mid].start <= address) {
      low = mid + 1;
    } else {
      high = mid;
    }
  }
  if (low == 0) return none;
  const indexed_range& r = ranges_[low - 1];
  return address < r.end ? r.index : none;
}

}  // namespace kivrec
