#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
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

// Reads a stack file piece by piece as its writer appends to it: each
// piece's whole records are taken, a record cut short waits for the rest.
class stack_file_parser {
 public:
  explicit stack_file_parser(std::string path) : path_(std::move(path)) {}

  // Takes the whole records at the start of `bytes`; returns how many
  // bytes they took (the rest is to be passed again, with what follows).
  // False when the file is not a stack file of this version or a record is
  // damaged: the reason is then in `error`, and nothing more is taken.
  bool feed(std::string_view bytes, std::size_t* taken, std::string* error);
  // Whether the version record was read.
  bool started() const { return started_; }
  const stack_file_contents& contents() const { return contents_; }
  stack_file_contents& contents() { return contents_; }

 private:
  std::string path_;
  stack_file_contents contents_;
  bool started_ = false;
};

// Appends the bytes of `path` from `offset` to its current end to `out`.
bool read_file_from(const std::string& path, std::uint64_t offset, std::string& out);

// Reads a stack file. A file cut short (the program was killed) gives the
// records it holds whole; a file that is not a stack file gives nothing,
// with the reason in `error`.
std::optional<stack_file_contents> read_stack_file(const std::string& path, std::string* error);

}  // namespace kivrec
