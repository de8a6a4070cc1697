#include "db/input_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace kivdb {

namespace {

std::string cause(int error) { return std::strerror(error); }

// What a file that is not a regular one is, for the message.
const char* kind_of(mode_t mode) {
  if (S_ISDIR(mode)) return "a directory";
  if (S_ISFIFO(mode)) return "a FIFO";
  if (S_ISCHR(mode)) return "a character device";
  if (S_ISBLK(mode)) return "a block device";
  if (S_ISSOCK(mode)) return "a socket";
  return "not a file";
}

std::string changed(std::uint64_t was, std::uint64_t now) {
  return "the file changed during the load (" + std::to_string(was) + " bytes when the load began, " +
         std::to_string(now) + " now)";
}

}  // namespace

input_file::input_file(const std::string& path) {
  // Without O_NONBLOCK, opening a FIFO waits for a writer that may never come.
  fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd_ < 0) throw input_error(cause(errno));
  struct stat st {};
  if (::fstat(fd_, &st) != 0) {
    const int error = errno;
    ::close(fd_);
    throw input_error(cause(error));
  }
  if (!S_ISREG(st.st_mode)) {
    ::close(fd_);
    throw input_error(std::string("not a regular file (") + kind_of(st.st_mode) + ")");
  }
  size_ = static_cast<std::uint64_t>(st.st_size);
}

input_file::~input_file() { ::close(fd_); }

std::size_t input_file::read(char* out, std::size_t n) {
  const std::uint64_t left = size_ - offset_;
  if (n > left) n = static_cast<std::size_t>(left);
  std::size_t done = 0;
  while (done < n) {
    const ssize_t got = ::read(fd_, out + done, n - done);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) throw input_error(cause(errno));
    if (got == 0) throw input_error(changed(size_, offset_ + done));
    done += static_cast<std::size_t>(got);
  }
  offset_ += done;
  return done;
}

void input_file::check_unchanged() const {
  struct stat st {};
  if (::fstat(fd_, &st) != 0) throw input_error(cause(errno));
  if (static_cast<std::uint64_t>(st.st_size) != size_) throw input_error(changed(size_, static_cast<std::uint64_t>(st.st_size)));
}

std::string read_whole_file(const std::string& path) {
  input_file file(path);
  std::string text(static_cast<std::size_t>(file.size()), '\0');
  file.read(text.data(), text.size());
  file.check_unchanged();
  return text;
}

}  // namespace kivdb
