#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>

namespace kivrec {

inline constexpr std::size_t path_capacity = 4096;

// The device and inode a descriptor refers to.
struct file_identity {
  dev_t device = 0;
  ino_t inode = 0;
  bool known = false;

  // The identity of what `fd` refers to now; unknown when it is closed.
  static file_identity of(int fd);
  bool same(const file_identity& other) const {
    return known && other.known && device == other.device && inode == other.inode;
  }
};

// One file the recorder writes into a traced program, guarded against the
// program: the descriptor lives near the top of the descriptor range
// (programs take the lowest free numbers) and closes on exec; before each
// write it is checked to still be this file, and when the program closed
// or replaced it, the file is opened again by its path and appended to (the
// old number is the program's now and is left alone). Files are created
// 0644 whatever the program's umask. Bytes that cannot be written are
// counted with the first error; after a failed write nothing more goes into
// the file, so that it holds an unbroken beginning of what was meant for it.
// No allocation: usable inside the allocator hooks.
class trace_file {
 public:
  constexpr trace_file() = default;
  trace_file(const trace_file&) = delete;
  trace_file& operator=(const trace_file&) = delete;

  // Creates `path`, failing when it exists (exclusive) or else truncating
  // it; false with errno set when it cannot be created.
  bool create(const char* path, bool exclusive);
  bool is_open() const { return fd_ >= 0; }

  // Appends all of `size` bytes; false when some were lost.
  bool write(const void* data, std::size_t size);

  // Lets go of the descriptor, closing it only while it is still this file's.
  void close();

  const char* path() const { return path_; }
  int descriptor() const { return fd_; }
  std::uint64_t written() const { return written_; }
  std::uint64_t lost() const { return lost_; }
  int error() const { return error_; }  // errno of the first loss, 0 when none

 private:
  bool still_open();
  bool reopen();
  void lose(std::size_t size, int error);

  char path_[path_capacity] = {};
  int fd_ = -1;
  file_identity identity_{};
  std::uint64_t written_ = 0;
  std::uint64_t lost_ = 0;
  int error_ = 0;
};

// Moves `fd` to a free number near the top of the descriptor range, with
// close-on-exec set; returns the new number, or `fd` itself when there is
// no room up there.
int move_descriptor_high(int fd);

}  // namespace kivrec
