#pragma once

#include <cstddef>
#include <cstdint>

#include "recorder/object_map.h"
#include "recorder/trace_file.h"

namespace kivrec {

// Writes the stack file of a process image (format: stack_file_format.h)
// from a fixed buffer through a guarded trace file. The trace stream flushes it before
// each of its own data writes, so every stack a data file uses is on disk
// before that data file is.
class stack_file {
 public:
  constexpr stack_file() = default;
  stack_file(const stack_file&) = delete;
  stack_file& operator=(const stack_file&) = delete;

  // Creates the file and writes its version record.
  bool open(const char* path, int address_width);
  bool active() const { return file_.is_open(); }
  // The file, for its losses once closed.
  const trace_file& file() const { return file_; }

  void object(const loaded_object& o);
  void unload(const loaded_object& o);
  void stack(std::uint32_t key, std::uint32_t generation, const std::uint64_t* frames, std::uint32_t count);

  void flush();
  void close();
  // In a forked child: lets go of the parent's file without writing.
  void abandon();

 private:
  static constexpr std::size_t buffer_capacity = 1 << 16;

  // Starts a record of `payload` bytes; false when it cannot be written.
  bool begin(char tag, std::size_t payload);
  void put(const void* bytes, std::size_t size);
  void put32(std::uint32_t value) { put(&value, sizeof value); }
  void put64(std::uint64_t value) { put(&value, sizeof value); }

  trace_file file_{};
  std::size_t buffered_ = 0;
  std::uint8_t buffer_[buffer_capacity] = {};
};

}  // namespace kivrec
