#pragma once

#include <cstdint>

namespace kivrec {

// The call stack of an allocation, captured by the unwinder from the
// unwind tables (programs built without frame pointers too).
enum class unwinder {
  libunwind,  // unw_backtrace with its per-thread cache: the default
  libgcc,     // _Unwind_Backtrace, for comparison
};

inline constexpr std::uint32_t default_depth = 64;
inline constexpr std::uint32_t max_depth = 256;

// Finds the recorder's own code and sets the unwinder up. Calls into the
// dynamic loader: once, before recording starts.
void prepare_capture(unwinder which);

// Writes the return addresses of the calling thread's stack, from the
// frame that called the allocator outwards, at most `depth` of them: the
// frames of the recorder itself (its allocator functions included) are
// left out. Returns the number written.
std::uint32_t capture_stack(std::uint64_t* frames, std::uint32_t depth);

}  // namespace kivrec
