#pragma once

// A file a load reads: the import script or a table file. Only regular
// files are opened (a FIFO would block the load, a device such as
// /dev/zero would never end), and they are read with read(), never
// mapped, so a file cut short by another program while it is read is
// reported instead of killing the load with SIGBUS.

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>

namespace kivdb {

// Why a file cannot be read, without the file's name: the caller knows
// what the file is to the user and says so.
class input_error : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class input_file {
 public:
  // Opens the file for reading; throws input_error when it is missing,
  // unreadable or not a regular file.
  explicit input_file(const std::string& path);
  ~input_file();
  input_file(const input_file&) = delete;
  input_file& operator=(const input_file&) = delete;

  // The size when the file was opened: what the load reads.
  std::uint64_t size() const { return size_; }
  // For readers that read at offsets of their own (pread).
  int descriptor() const { return fd_; }
  // Fills out with up to n bytes of the rest of the file (n when that many
  // are left) and returns how many; 0 at the end. Throws input_error when
  // the file is shorter than it was when it was opened.
  std::size_t read(char* out, std::size_t n);
  // Throws input_error when the file's size is no longer the size it was
  // opened with: rows read so far may not be the ones the file now holds.
  void check_unchanged() const;

 private:
  int fd_ = -1;
  std::uint64_t size_ = 0;
  std::uint64_t offset_ = 0;
};

// The whole of a small file, such as an import script.
std::string read_whole_file(const std::string& path);

}  // namespace kivdb
