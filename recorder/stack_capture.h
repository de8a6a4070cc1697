#pragma once

#include <atomic>
#include <cstdint>

#define UNW_LOCAL_ONLY
#include <libunwind.h>

namespace kivrec {

// The call stack of an allocation, captured by the unwinder from the
// unwind tables (programs built without frame pointers too).
enum class unwinder {
  libunwind,  // unw_backtrace with its per-thread cache: the default
  libgcc,     // _Unwind_Backtrace, for comparison
};

inline constexpr std::uint32_t default_depth = 64;
inline constexpr std::uint32_t max_depth = 256;
// The recorder's frames under the program's at most: the allocator
// function the program called and what it calls down to the unwinder.
inline constexpr std::uint32_t max_own_frames = 12;

// The return addresses of a stack as the unwinder gave them: the
// recorder's own frames first, then the program's, the allocator's
// caller first.
struct captured_stack {
  std::uint64_t raw[max_depth + max_own_frames + 1];
  std::uint32_t first = 0;  // raw[first] is the allocator's caller
  std::uint32_t count = 0;  // the program's frames from there on
  const std::uint64_t* frames() const { return raw + first; }
};

// Finds the recorder's own code and sets the unwinder up. Calls into the
// dynamic loader: once, before recording starts.
void prepare_capture(unwinder which);

namespace capture_detail {
// How many frames beyond the depth the recorder asks the unwinder for: as
// many as it found of its own (at least 1); 0 before the first stack,
// when it asks for all it could have.
extern std::atomic<std::uint32_t> own_frames;
extern unwinder chosen;
std::uint32_t libgcc_backtrace(std::uint64_t* frames, std::uint32_t capacity);
// Skips the recorder's frames; unwinds again, deeper, when it found more
// of them than it asked for and the stack was cut.
void settle(captured_stack& stack, std::uint32_t n, std::uint32_t capacity, std::uint32_t depth);
}  // namespace capture_detail

// Captures the calling thread's stack, at most `depth` frames of the
// program. Inlined into the allocator function the program called, so
// that the unwinder starts in its frame and walks no other frame of the
// recorder.
[[gnu::always_inline]] inline void capture_stack(captured_stack& stack, std::uint32_t depth) {
  using namespace capture_detail;
  const std::uint32_t margin = own_frames.load(std::memory_order_relaxed);
  const std::uint32_t capacity = depth + (margin == 0 ? max_own_frames : margin);
  std::uint32_t n = 0;
  if (chosen == unwinder::libunwind) {
    const int found = unw_backtrace(reinterpret_cast<void**>(stack.raw), static_cast<int>(capacity));
    n = found > 0 ? static_cast<std::uint32_t>(found) : 0;
  } else {
    n = libgcc_backtrace(stack.raw, capacity);
  }
  settle(stack, n, capacity, depth);
}

}  // namespace kivrec
