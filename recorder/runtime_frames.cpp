#include "recorder/runtime_frames.h"

#include <link.h>
#include <unwind.h>

#include <string_view>

#include "recorder/text_buffer.h"

namespace kivrec {

namespace {

constexpr std::string_view runtime_objects[] = {"libc.so", "libstdc++.so", "libgcc_s.so"};
constexpr std::uint64_t hash_multiplier = 0x9e3779b97f4a7c15ULL;
constexpr unsigned size_bits = 16;
constexpr std::uint64_t size_unit = 8;  // frame sizes are whole stack slots
constexpr std::uint64_t max_frame_size = ((std::uint64_t{1} << size_bits) - 1) * size_unit;
constexpr unsigned address_bits = 48;

bool is_runtime(const char* path) {
  if (path == nullptr) return false;
  const std::string_view name = base_name(path);
  for (const std::string_view prefix : runtime_objects)
    if (name.starts_with(prefix)) return true;
  return false;
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

std::size_t slot_of(std::uint64_t address, std::size_t capacity) {
  return static_cast<std::size_t>((address * hash_multiplier) >> 40) & (capacity - 1);
}

// One unwinder walk, learning the frame size at every return address. The
// unwinder's context of a frame holds its return address and, as CFA, the
// stack pointer the frame has at that address; the frame's own CFA is the
// one of the next context outwards.
struct learning_walk {
  runtime_frames* runtime;
  std::uint64_t start;         // the walk learns from this return address on
  std::uint64_t last_ip = 0;   // of the frame below, once started
  std::uint64_t last_sp = 0;
  int depth = 0;
};

_Unwind_Reason_Code learn(_Unwind_Context* context, void* data) {
  auto* w = static_cast<learning_walk*>(data);
  const auto ip = static_cast<std::uint64_t>(_Unwind_GetIP(context));
  const auto sp = static_cast<std::uint64_t>(_Unwind_GetCFA(context));
  if (++w->depth > 2 * runtime_frames::max_depth || ip == 0) return _URC_END_OF_STACK;
  if (w->last_ip != 0 && sp > w->last_sp) w->runtime->add_frame_size(w->last_ip, sp - w->last_sp);
  if (w->last_ip != 0 || ip == w->start) {
    w->last_ip = ip;
    w->last_sp = sp;
  }
  return _URC_NO_REASON;
}

// Insert-only set of 64-bit values (never 0) shared by threads without a lock.
bool set_add(std::atomic<std::uint64_t>* set, std::atomic<std::size_t>& count, std::uint64_t key,
             std::uint64_t value, std::uint64_t key_mask, std::size_t capacity) {
  if ((count.load(std::memory_order_relaxed) + 1) * 2 > capacity) return false;
  for (std::size_t i = slot_of(key, capacity);; i = (i + 1) & (capacity - 1)) {
    std::uint64_t stored = set[i].load(std::memory_order_acquire);
    if (stored == 0 && set[i].compare_exchange_strong(stored, value, std::memory_order_acq_rel)) {
      count.fetch_add(1, std::memory_order_relaxed);
      return true;
    }
    if ((stored & key_mask) == (value & key_mask)) return false;
  }
}

}  // namespace

void runtime_frames::add_range(std::uint64_t start, std::uint64_t end) {
  if (count_ < max_ranges) ranges_[count_++] = {start, end};
}

void runtime_frames::scan() {
  count_ = 0;
  ::dl_iterate_phdr(add_object, this);
}

bool runtime_frames::contains(std::uint64_t address) const {
  for (std::size_t i = 0; i < count_; ++i)
    if (address >= ranges_[i].start && address < ranges_[i].end) return true;
  return false;
}

void runtime_frames::add_standard_site(std::uint64_t address) {
  set_add(standard_, standard_count_, address, address, ~std::uint64_t{0}, set_capacity);
}

bool runtime_frames::standard_site(std::uint64_t address) const {
  for (std::size_t i = slot_of(address, set_capacity);; i = (i + 1) & (set_capacity - 1)) {
    const std::uint64_t stored = standard_[i].load(std::memory_order_acquire);
    if (stored == 0) return false;
    if (stored == address) return true;
  }
}

void runtime_frames::add_frame_size(std::uint64_t address, std::uint64_t size) {
  if (size % size_unit != 0 || size > max_frame_size || address >> address_bits != 0) return;
  const std::uint64_t value = address << size_bits | size / size_unit;
  set_add(frame_sizes_, frame_count_, address, value, ~((std::uint64_t{1} << size_bits) - 1), set_capacity);
}

std::uint64_t runtime_frames::frame_size(std::uint64_t address) const {
  for (std::size_t i = slot_of(address, set_capacity);; i = (i + 1) & (set_capacity - 1)) {
    const std::uint64_t stored = frame_sizes_[i].load(std::memory_order_acquire);
    if (stored == 0) return 0;
    if (stored >> size_bits == address) return (stored & ((std::uint64_t{1} << size_bits) - 1)) * size_unit;
  }
}

// Steps from frame to frame while the frame sizes are known.
std::uint64_t runtime_frames::fast_walk(std::uint64_t ip, std::uint64_t stack, bool* complete) const {
  *complete = true;
  for (int depth = 0; depth < max_depth; ++depth) {
    if (!skipped(ip)) return ip;
    const std::uint64_t size = frame_size(ip);
    if (size == 0) {
      *complete = false;
      return 0;
    }
    const std::uint64_t cfa = stack + size;
    ip = *reinterpret_cast<const std::uint64_t*>(cfa - size_unit);
    stack = cfa;
  }
  return 0;
}

void runtime_frames::learn_frames(std::uint64_t ip) {
  learning_walk w{this, ip};
  _Unwind_Backtrace(learn, &w);
}

std::uint64_t runtime_frames::outer_frame(std::uint64_t ip, std::uint64_t stack) {
  bool complete = false;
  const std::uint64_t found = fast_walk(ip, stack, &complete);
  if (complete) return found;
  learn_frames(ip);
  return fast_walk(ip, stack, &complete);
}

}  // namespace kivrec
