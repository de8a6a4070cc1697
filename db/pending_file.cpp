#include "db/pending_file.h"

#include <fcntl.h>
#include <stdio.h>  // renameat2
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

#include "db/database.h"

namespace kivdb {

namespace {

constexpr mode_t new_file_mode = 0666;  // narrowed by the umask, as SQLite creates files
// Names tried before giving up when others are taken (leftovers of loads
// killed with SIGKILL, which nothing can remove).
constexpr int name_attempts = 100;

std::string cause() { return std::strerror(errno); }

std::string directory_of(const std::string& file) {
  const std::filesystem::path parent = std::filesystem::path(file).parent_path();
  return parent.empty() ? "." : parent.string();
}

// fsync of a file or directory by name.
bool sync_path(const std::string& path, int flags) {
  const int fd = ::open(path.c_str(), flags | O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  const bool ok = ::fsync(fd) == 0;
  ::close(fd);
  return ok;
}

// Renames from to to unless to exists: 1 done, 0 taken, -1 failed (errno).
int rename_no_replace(const std::string& from, const std::string& to) {
  if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return 1;
  if (errno == EEXIST) return 0;
  if (errno != EINVAL && errno != ENOSYS) return -1;
  // A file system without the no-replace rename: a hard link fails just
  // as well when the name is taken.
  if (::link(from.c_str(), to.c_str()) == 0) return ::unlink(from.c_str()) == 0 ? 1 : -1;
  if (errno == EEXIST) return 0;
  if (errno != EPERM && errno != ENOTSUP) return -1;
  // Neither (some network file systems): look, then rename. Only here can
  // a load that finished in between lose its file.
  if (::access(to.c_str(), F_OK) == 0) return 0;
  return ::rename(from.c_str(), to.c_str()) == 0 ? 1 : -1;
}

}  // namespace

pending_file::pending_file(std::string target) : target_(std::move(target)) {
  const std::filesystem::path name = std::filesystem::path(target_).filename();
  const std::string stem = directory_of(target_) + "/." + name.string() + ".kivdb-" + std::to_string(::getpid()) + "-";
  for (int i = 0; i < name_attempts; ++i) {
    const std::string candidate = stem + std::to_string(i);
    const int fd = ::open(candidate.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, new_file_mode);
    if (fd >= 0) {
      ::close(fd);
      path_ = candidate;
      return;
    }
    if (errno != EEXIST) break;
  }
  throw db_error("cannot create a database in " + directory_of(target_) + ": " + cause());
}

pending_file::~pending_file() {
  if (!published_) ::unlink(path_.c_str());
}

bool pending_file::publish() {
  // SQLite did not wait for the disk while it built the file: the bytes go
  // there now, before the name can point at them.
  if (!sync_path(path_, 0)) throw db_error("cannot write the database to the disk: " + cause());
  const int renamed = rename_no_replace(path_, target_);
  if (renamed < 0) throw db_error("cannot rename " + path_ + " to " + target_ + ": " + cause());
  if (renamed == 0) return false;
  published_ = true;
  // The new name on the disk too. The file is in place whatever this
  // gives: a load that said it failed now would be wrong about its run.
  sync_path(directory_of(target_), O_DIRECTORY);
  return true;
}

}  // namespace kivdb
