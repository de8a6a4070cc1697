#include "recorder/stack_capture.h"

#define UNW_LOCAL_ONLY
#include <libunwind.h>
#include <link.h>
#include <unwind.h>

namespace kivrec {

namespace {

// The recorder's frames under the program's: capture_stack, the recording
// and hook functions, the allocator function the program called.
constexpr std::uint32_t own_frames_margin = 12;
constexpr int max_own_ranges = 4;

struct code_range {
  std::uint64_t start;
  std::uint64_t end;
};
constinit code_range own_code[max_own_ranges] = {};
constinit int own_count = 0;
constinit unwinder chosen = unwinder::libunwind;

bool own_frame(std::uint64_t address) {
  for (int i = 0; i < own_count; ++i)
    if (address >= own_code[i].start && address < own_code[i].end) return true;
  return false;
}

int find_own_code(dl_phdr_info* info, std::size_t, void* data) {
  const auto probe = reinterpret_cast<std::uint64_t>(data);
  int found = 0;
  code_range ranges[max_own_ranges];
  bool holds_probe = false;
  for (int i = 0; i < info->dlpi_phnum && found < max_own_ranges; ++i) {
    const ElfW(Phdr)& ph = info->dlpi_phdr[i];
    if (ph.p_type != PT_LOAD || (ph.p_flags & PF_X) == 0) continue;
    const std::uint64_t start = info->dlpi_addr + ph.p_vaddr;
    ranges[found++] = {start, start + ph.p_memsz};
    holds_probe |= probe >= start && probe < start + ph.p_memsz;
  }
  if (!holds_probe) return 0;
  for (int i = 0; i < found; ++i) own_code[i] = ranges[i];
  own_count = found;
  return 1;
}

struct libgcc_walk {
  std::uint64_t* frames;
  std::uint32_t capacity;
  std::uint32_t count;
};

_Unwind_Reason_Code collect(_Unwind_Context* context, void* data) {
  auto* walk = static_cast<libgcc_walk*>(data);
  if (walk->count == walk->capacity) return _URC_END_OF_STACK;
  const auto ip = static_cast<std::uint64_t>(_Unwind_GetIP(context));
  if (ip == 0) return _URC_END_OF_STACK;
  walk->frames[walk->count++] = ip;
  return _URC_NO_REASON;
}

std::uint32_t raw_backtrace(std::uint64_t* frames, std::uint32_t capacity) {
  if (chosen == unwinder::libgcc) {
    libgcc_walk walk{frames, capacity, 0};
    _Unwind_Backtrace(collect, &walk);
    return walk.count;
  }
  static_assert(sizeof(void*) == sizeof(std::uint64_t), "frames are stored as 64-bit addresses");
  const int n = unw_backtrace(reinterpret_cast<void**>(frames), static_cast<int>(capacity));
  return n > 0 ? static_cast<std::uint32_t>(n) : 0;
}

}  // namespace

void prepare_capture(unwinder which) {
  chosen = which;
  ::dl_iterate_phdr(find_own_code, reinterpret_cast<void*>(&capture_stack));
  if (which == unwinder::libunwind) unw_set_caching_policy(unw_local_addr_space, UNW_CACHE_PER_THREAD);
}

__attribute__((noinline)) std::uint32_t capture_stack(std::uint64_t* frames, std::uint32_t depth) {
  std::uint64_t raw[max_depth + own_frames_margin];
  if (depth > max_depth) depth = max_depth;
  const std::uint32_t n = raw_backtrace(raw, depth + own_frames_margin);
  std::uint32_t first = 0;
  while (first < n && own_frame(raw[first])) ++first;
  std::uint32_t count = n - first < depth ? n - first : depth;
  for (std::uint32_t i = 0; i < count; ++i) frames[i] = raw[first + i];
  return count;
}

}  // namespace kivrec
