#include "db/command_output.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <stdexcept>

namespace kivdb {

namespace {

constexpr mode_t new_file_mode = 0666;  // narrowed by the umask

// fd: the file, open, or -1 once it is closed.
[[noreturn]] void write_failed(const std::string& path, int fd, int error) {
  struct stat st {};
  const bool regular = (fd >= 0 ? ::fstat(fd, &st) : ::stat(path.c_str(), &st)) == 0 && S_ISREG(st.st_mode);
  if (fd >= 0) ::close(fd);
  if (regular) ::unlink(path.c_str());
  throw std::runtime_error("cannot write " + path + ": " + std::strerror(error));
}

}  // namespace

bool flush_standard_output(std::string_view command, std::string_view note) {
  if (std::fflush(stdout) == 0 && std::ferror(stdout) == 0) return true;
  const int error = errno;
  std::fprintf(stderr, "kivdb %.*s: cannot write to standard output: %s%.*s\n", static_cast<int>(command.size()),
               command.data(), std::strerror(error), static_cast<int>(note.size()), note.data());
  return false;
}

void write_output_file(const std::string& path, std::string_view bytes) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, new_file_mode);
  if (fd < 0) throw std::runtime_error("cannot write " + path + ": " + std::strerror(errno));
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) write_failed(path, fd, errno);
    done += static_cast<std::size_t>(n);
  }
  // A network file system may report a failed write only at close.
  if (::close(fd) != 0) write_failed(path, -1, errno);
}

}  // namespace kivdb
