#include "recorder/stack_capture.h"

#include <link.h>
#include <unwind.h>

namespace kivrec {

namespace capture_detail {
constinit std::atomic<std::uint32_t> own_frames{0};
constinit unwinder chosen = unwinder::libunwind;
}  // namespace capture_detail

namespace {

constexpr int max_own_ranges = 4;

struct code_range {
  std::uint64_t start;
  std::uint64_t end;
};
constinit code_range own_code[max_own_ranges] = {};
constinit int own_count = 0;

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

std::uint32_t unwind(std::uint64_t* frames, std::uint32_t capacity) {
  if (capture_detail::chosen == unwinder::libgcc) return capture_detail::libgcc_backtrace(frames, capacity);
  const int n = unw_backtrace(reinterpret_cast<void**>(frames), static_cast<int>(capacity));
  return n > 0 ? static_cast<std::uint32_t>(n) : 0;
}

}  // namespace

namespace capture_detail {

std::uint32_t libgcc_backtrace(std::uint64_t* frames, std::uint32_t capacity) {
  libgcc_walk walk{frames, capacity, 0};
  _Unwind_Backtrace(collect, &walk);
  return walk.count;
}

__attribute__((noinline)) void settle(captured_stack& stack, std::uint32_t n, std::uint32_t capacity,
                                      std::uint32_t depth) {
  std::uint32_t first = 0;
  while (first < n && own_frame(stack.raw[first])) ++first;
  const std::uint32_t asked = capacity - depth;
  if (first > asked && n == capacity) {
    // A path through the recorder with more frames than it asked for:
    // the stack lost outer frames. Asked again with room for all (this
    // function is one more frame of its own).
    n = unwind(stack.raw, depth + max_own_frames + 1);
    for (first = 0; first < n && own_frame(stack.raw[first]);) ++first;
  }
  // Only ever raised once learnt: a path with more frames than another
  // keeps its room.
  const std::uint32_t needed = first > 0 ? first : 1;
  if (needed > asked || own_frames.load(std::memory_order_relaxed) == 0)
    own_frames.store(needed, std::memory_order_relaxed);
  stack.first = first;
  stack.count = n - first < depth ? n - first : depth;
}

}  // namespace capture_detail

void prepare_capture(unwinder which) {
  capture_detail::chosen = which;
  ::dl_iterate_phdr(find_own_code, reinterpret_cast<void*>(&prepare_capture));
  if (which == unwinder::libunwind) unw_set_caching_policy(unw_local_addr_space, UNW_CACHE_PER_THREAD);
}

}  // namespace kivrec
