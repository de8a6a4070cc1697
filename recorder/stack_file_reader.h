#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "recorder/stack_file_format.h"

namespace kivrec {

// What a stack file says, read back by the launcher.
struct recorded_object {
  std::uint32_t first_generation = 0;
  std::uint32_t end_generation = 0;  // 0: still loaded at the end
  std::uint64_t load_bias = 0;
  std::vector<std::pair<std::uint64_t, std::uint64_t>> ranges;  // [start, end) of its code
  std::string build_id;  // raw bytes
  std::string path;
  bool loaded = false;  // an 'O' record was read for its index
};

struct recorded_stack {
  std::uint32_t key = 0;
  std::uint32_t generation = 0;
  std::vector<std::uint64_t> frames;
};

struct stack_file_contents {
  int address_width = 8;
  std::vector<recorded_object> objects;  // by index
  std::vector<recorded_stack> stacks;    // in file order
  // The object that held `address` in `generation`; null when none did.
  const recorded_object* object_at(std::uint64_t address, std::uint32_t generation) const;
};

// Reads a stack file. A file cut short (the program was killed) gives the
// records it holds whole; a file that is not a stack file gives nothing,
// with the reason in `error`.
std::optional<stack_file_contents> read_stack_file(const std::string& path, std::string* error);

}  // namespace kivrec
