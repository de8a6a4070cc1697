#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

namespace kivrec {

// The code of the C library, the C++ runtime and its unwinder, and the
// walk out of it: an allocation whose caller lies in there (strdup, fopen,
// the runtime's own std::string members), or in a standard-library
// function instantiated in the program, is attributed to the first frame
// beyond them.
//
// Walking with the unwinder costs microseconds, so each return address's
// frame size (its CFA less the stack pointer at that address, which is
// constant for a given address in code without alloca) is remembered the
// first time the unwinder passes it. Later walks through known addresses
// step from frame to frame by reading the return address at CFA - 8.
class runtime_frames {
 public:
  static constexpr int max_depth = 32;

  constexpr runtime_frames() = default;

  // Finds the runtime objects loaded now. Calls into the dynamic loader:
  // never with the recorder's lock held.
  void scan();
  bool contains(std::uint64_t address) const;

  // The return address of the first frame beyond the one `ip` returns
  // into (whose stack pointer is `stack`) that is neither in the runtime
  // nor a known standard-library site; 0 when there is none within
  // max_depth frames. Never with the recorder's lock held.
  std::uint64_t outer_frame(std::uint64_t ip, std::uint64_t stack);

  // Remembers a call site inside a standard-library function (under the
  // recorder's lock; read by walks without it).
  void add_standard_site(std::uint64_t address);
  bool standard_site(std::uint64_t address) const;
  // Adds the code range [start, end) of a runtime object.
  void add_range(std::uint64_t start, std::uint64_t end);
  // Remembers the frame size at a return address (any thread, no lock).
  void add_frame_size(std::uint64_t address, std::uint64_t size);

 private:
  struct range {
    std::uint64_t start;
    std::uint64_t end;
  };
  static constexpr std::size_t max_ranges = 16;
  static constexpr std::size_t set_capacity = 8192;  // a power of two

  bool skipped(std::uint64_t address) const { return contains(address) || standard_site(address); }
  std::uint64_t frame_size(std::uint64_t address) const;  // 0 when unknown
  std::uint64_t fast_walk(std::uint64_t ip, std::uint64_t stack, bool* complete) const;
  void learn_frames(std::uint64_t ip);

  range ranges_[max_ranges] = {};
  std::size_t count_ = 0;
  // Insert-only open-addressing sets; a full set just makes walks slower.
  std::atomic<std::uint64_t> standard_[set_capacity] = {};
  std::atomic<std::size_t> standard_count_{0};
  std::atomic<std::uint64_t> frame_sizes_[set_capacity] = {};  // address << 16 | size / 8
  std::atomic<std::size_t> frame_count_{0};
};

}  // namespace kivrec
