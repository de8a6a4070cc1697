#pragma once

#include <filesystem>
#include <string>

namespace kivtest {

// A fresh empty directory under the system's temporary directory, removed
// with everything in it when the object goes.
class scratch_dir {
 public:
  explicit scratch_dir(const std::string& prefix);
  ~scratch_dir();
  scratch_dir(const scratch_dir&) = delete;
  scratch_dir& operator=(const scratch_dir&) = delete;

  const std::filesystem::path& path() const { return path_; }
  // path() / name as a string.
  std::string operator/(const std::string& name) const { return (path_ / name).string(); }

 private:
  std::filesystem::path path_;
};

// Whole-file helpers; read_file gives "" for a file that cannot be read.
std::string read_file(const std::filesystem::path& path);
void write_file(const std::filesystem::path& path, const std::string& content);

}  // namespace kivtest
