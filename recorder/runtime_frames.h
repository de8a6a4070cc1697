#pragma once

#include <cstddef>
#include <atomic>
#include <cstdint>

namespace kivrec {

// The code of the C library, the C++ runtime and its unwinder, and the
// unwinder that walks out of it: an allocation whose caller lies in there
// (strdup, fopen, the runtime's own std::string members) is attributed to
// the first frame outside it.
class runtime_frames {
 public:
  static constexpr int max_depth = 32;

  constexpr runtime_frames() = default;

  // Finds the runtime objects loaded now and the unwinder's entry points.
  // Calls into the dynamic loader: never with the recorder's lock held.
  void scan();
  bool contains(std::uint64_t address) const;
  // The return addresses of the frames above the one that `caller`
  // returns into, innermost first, up to the first one that is neither in
  // the runtime nor a known standard-library site; their number (at most
  // `capacity`).
  int callers_beyond(std::uint64_t caller, std::uint64_t* out, int capacity) const;

  // Remembers a call site inside a standard-library function (under the
  // recorder's lock; read by walks without it).
  void add_standard_site(std::uint64_t address);
  bool standard_site(std::uint64_t address) const;
  // Adds the code range [start, end) of a runtime object.
  void add_range(std::uint64_t start, std::uint64_t end);

 private:
  struct range {
    std::uint64_t start;
    std::uint64_t end;
  };
  static constexpr std::size_t max_ranges = 16;

  static constexpr std::size_t standard_capacity = 4096;  // a power of two

  range ranges_[max_ranges] = {};
  // Insert-only open-addressing set; a full set just stops walks early.
  std::atomic<std::uint64_t> standard_[standard_capacity] = {};
  std::size_t standard_count_ = 0;
  std::size_t count_ = 0;
  void* backtrace_ = nullptr;  // _Unwind_Backtrace
  void* get_ip_ = nullptr;     // _Unwind_GetIP
};

}  // namespace kivrec
