#pragma once

#include <compare>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "report/hash_index.h"

namespace kivdb::report {

// One frame of a named call stack: the function (`object+0x1234` when it
// is unknown), its source file and line (empty and 0 when unknown) and the
// file name of the object that holds the code.
struct stack_frame {
  std::string function;
  std::string file;
  std::uint32_t line = 0;
  std::string object;

  friend bool operator==(const stack_frame&, const stack_frame&) = default;
  // By function, then file, line and object: the order of siblings in a
  // flame graph.
  friend std::strong_ordering operator<=>(const stack_frame&, const stack_frame&) = default;
};

// Distinct frames, each stored once and named by its index, in the order
// they were first seen. Looking a frame up copies nothing unless it is new.
class frame_table {
 public:
  // The frame's index; `line` replaces the frame's own line.
  std::uint32_t intern(const stack_frame& frame) { return intern(frame, frame.line); }
  std::uint32_t intern(const stack_frame& frame, std::uint32_t line);

  std::size_t size() const { return frames_.size(); }
  const stack_frame& operator[](std::uint32_t index) const { return frames_[index]; }

 private:
  std::vector<stack_frame> frames_;
  hash_index index_;
};

}  // namespace kivdb::report
