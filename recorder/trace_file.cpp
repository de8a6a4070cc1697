#include "recorder/trace_file.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "recorder/text_buffer.h"

namespace kivrec {

namespace {

// Readable by everyone, whatever umask the program set: the trace is read
// later by kiv, possibly as another user.
constexpr mode_t file_mode = 0644;

// Programs take the lowest free descriptor numbers, and select() reaches
// only below 1024; the recorder's descriptors sit in the top sixteenth of
// the range below the smaller of that and the process's limit.
constexpr rlim_t descriptor_ceiling = 1024;
constexpr rlim_t high_share = 16;

}  // namespace

file_identity file_identity::of(int fd) {
  struct stat st {};
  if (fd < 0 || ::fstat(fd, &st) != 0) return {};
  return {st.st_dev, st.st_ino, true};
}

int move_descriptor_high(int fd) {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) return fd;
  const rlim_t top = limit.rlim_cur < descriptor_ceiling ? limit.rlim_cur : descriptor_ceiling;
  const rlim_t floor = top - top / high_share;
  if (floor >= top || static_cast<rlim_t>(fd) >= floor) return fd;
  const int high = ::fcntl(fd, F_DUPFD_CLOEXEC, static_cast<int>(floor));
  if (high < 0) return fd;
  ::close(fd);
  return high;
}

bool trace_file::create(const char* path, bool exclusive) {
  close();
  written_ = 0;
  lost_ = 0;
  error_ = 0;
  text_buffer name(path_, sizeof path_);
  name.text(path).c_str();
  if (name.overflowed()) {
    errno = ENAMETOOLONG;
    return false;
  }
  const int flags = O_WRONLY | O_CREAT | O_CLOEXEC | (exclusive ? O_EXCL : O_TRUNC);
  const int fd = ::open(path_, flags, file_mode);
  if (fd < 0) return false;
  ::fchmod(fd, file_mode);
  fd_ = move_descriptor_high(fd);
  identity_ = file_identity::of(fd_);
  return true;
}

// One fstat per write; the caller writes whole buffers, so this is one
// system call per 64 KiB of trace.
bool trace_file::still_open() { return file_identity::of(fd_).same(identity_); }

// The program closed the descriptor or put a file of its own on its
// number: the number stays the program's, and the file is opened again by
// its path, provided the path still names the same file.
bool trace_file::reopen() {
  fd_ = -1;
  const int fd = ::open(path_, O_WRONLY | O_APPEND | O_CLOEXEC);
  if (fd < 0) return false;
  if (!file_identity::of(fd).same(identity_)) {
    ::close(fd);
    errno = ESTALE;
    return false;
  }
  fd_ = move_descriptor_high(fd);
  return true;
}

void trace_file::lose(std::size_t size, int error) {
  lost_ += size;
  if (error_ == 0) error_ = error != 0 ? error : EIO;
}

bool trace_file::write(const void* data, std::size_t size) {
  if (size == 0) return true;
  if (error_ != 0 || fd_ < 0) {
    lose(size, EBADF);
    return false;
  }
  if (!still_open() && !reopen()) {
    lose(size, errno);
    return false;
  }
  const auto* p = static_cast<const char*>(data);
  while (size > 0) {
    const ssize_t n = ::write(fd_, p, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      lose(size, n < 0 ? errno : EIO);
      return false;
    }
    p += n;
    size -= static_cast<std::size_t>(n);
    written_ += static_cast<std::uint64_t>(n);
  }
  return true;
}

void trace_file::close() {
  if (fd_ >= 0 && still_open()) ::close(fd_);
  fd_ = -1;
}

}  // namespace kivrec
