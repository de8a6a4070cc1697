#include "recorder/runtime_frames.h"

#include <dlfcn.h>
#include <link.h>
#include <unwind.h>

#include <string_view>

#include "recorder/text_buffer.h"

namespace kivrec {

namespace {

constexpr std::string_view runtime_objects[] = {"libc.so", "libstdc++.so", "libgcc_s.so"};

bool is_runtime(const char* path) {
  if (path == nullptr) return false;
  const std::string_view name = base_name(path);
  for (const std::string_view prefix : runtime_objects)
    if (name.starts_with(prefix)) return true;
  return false;
}

using backtrace_fn = _Unwind_Reason_Code (*)(_Unwind_Trace_Fn, void*);
using get_ip_fn = _Unwind_Ptr (*)(_Unwind_Context*);

struct walk {
  const runtime_frames* runtime;
  get_ip_fn get_ip;
  std::uint64_t inside;  // the frames beyond this return address are wanted
  std::uint64_t* out;
  int capacity;
  int count = 0;
  int depth = 0;
  bool passed_start = false;
};

_Unwind_Reason_Code visit(_Unwind_Context* context, void* data) {
  auto* w = static_cast<walk*>(data);
  const auto ip = static_cast<std::uint64_t>(w->get_ip(context));
  if (++w->depth > runtime_frames::max_depth || ip == 0 || w->count == w->capacity) return _URC_END_OF_STACK;
  if (w->passed_start) {
    w->out[w->count++] = ip;
    if (!w->runtime->contains(ip) && !w->runtime->standard_site(ip)) return _URC_END_OF_STACK;
  } else {
    // Frames of the recorder itself come first, up to the caller.
    w->passed_start = ip == w->inside;
  }
  return _URC_NO_REASON;
}

int add_object(dl_phdr_info* info, std::size_t, void* data) {
  auto* self = static_cast<runtime_frames*>(data);
  if (!is_runtime(info->dlpi_name)) return 0;
  for (int i = 0; i < info->dlpi_phnum; ++i) {
    const ElfW(Phdr)& ph = info->dlpi_phdr[i];
    if (ph.p_type != PT_LOAD || (ph.p_flags & PF_X) == 0) continue;
    const std::uint64_t start = info->dlpi_addr + ph.p_vaddr;
    self->add_range(start, start + ph.p_memsz);
  }
  return 0;
}

}  // namespace

void runtime_frames::add_range(std::uint64_t start, std::uint64_t end) {
  if (count_ < max_ranges) ranges_[count_++] = {start, end};
}

void runtime_frames::scan() {
  count_ = 0;
  ::dl_iterate_phdr(add_object, this);
  backtrace_ = ::dlsym(RTLD_DEFAULT, "_Unwind_Backtrace");
  get_ip_ = ::dlsym(RTLD_DEFAULT, "_Unwind_GetIP");
}

bool runtime_frames::contains(std::uint64_t address) const {
  for (std::size_t i = 0; i < count_; ++i)
    if (address >= ranges_[i].start && address < ranges_[i].end) return true;
  return false;
}

int runtime_frames::callers_beyond(std::uint64_t caller, std::uint64_t* out, int capacity) const {
  if (backtrace_ == nullptr || get_ip_ == nullptr) return 0;
  walk w{this, reinterpret_cast<get_ip_fn>(get_ip_), caller, out, capacity};
  reinterpret_cast<backtrace_fn>(backtrace_)(visit, &w);
  return w.count;
}

namespace {
constexpr std::uint64_t hash_multiplier = 0x9e3779b97f4a7c15ULL;
}

void runtime_frames::add_standard_site(std::uint64_t address) {
  if ((standard_count_ + 1) * 2 > standard_capacity) return;
  std::size_t i = static_cast<std::size_t>((address * hash_multiplier) >> 52) & (standard_capacity - 1);
  while (standard_[i].load(std::memory_order_relaxed) != 0) {
    if (standard_[i].load(std::memory_order_relaxed) == address) return;
    i = (i + 1) & (standard_capacity - 1);
  }
  standard_[i].store(address, std::memory_order_release);
  ++standard_count_;
}

bool runtime_frames::standard_site(std::uint64_t address) const {
  std::size_t i = static_cast<std::size_t>((address * hash_multiplier) >> 52) & (standard_capacity - 1);
  for (;;) {
    const std::uint64_t stored = standard_[i].load(std::memory_order_acquire);
    if (stored == 0) return false;
    if (stored == address) return true;
    i = (i + 1) & (standard_capacity - 1);
  }
}

}  // namespace kivrec
